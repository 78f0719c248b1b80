#include "engine/RandomSource.h"

#include <cstring>
#include <ctime>

#include "platform/SystemLog.h"

namespace quellbox {

RandomSource::RandomSource(unsigned int seed) {
    std::memset(&data_, 0, sizeof data_);  // initstate_r requires a zeroed record
    std::memset(state_, 0, sizeof state_);
    if (initstate_r(seed, state_, sizeof state_, &data_) != 0) {
        SystemLog::reportError("Quellbox Error : can't set up the random generator");
    }
}

RandomSource& RandomSource::shared() {
    static RandomSource instance;
    return instance;
}

void RandomSource::seed(unsigned int seed) {
    std::lock_guard guard(mutex_);
    if (srandom_r(seed, &data_) != 0) {
        SystemLog::reportError("Quellbox Error : can't seed the random generator");
    }
}

bool RandomSource::seedFromTimeOfDay() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        SystemLog::reportError("Quellbox Error : can't read the time of day");
        return false;
    }
    const auto microseconds = static_cast<unsigned int>(now.tv_nsec / 1000);
    seed(static_cast<unsigned int>(now.tv_sec) ^ (microseconds << 11));
    return true;
}

int32_t RandomSource::next() {
    std::lock_guard guard(mutex_);
    int32_t value = 0;
    if (random_r(&data_, &value) != 0) {
        SystemLog::reportError("Quellbox Error : can't draw a random number");
        return 0;
    }
    return value;
}

}  // namespace quellbox
