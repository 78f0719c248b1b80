#include "engine/PacingClock.h"

namespace quellbox {

PacingClock::Clock::duration PacingClock::packetTime(std::int32_t bytes, double rateKiBPerSecond) {
    const double seconds = static_cast<double>(bytes) / (rateKiBPerSecond * 1024.0);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

PacingClock::Clock::time_point PacingClock::packetSent(std::int32_t bytes, double rateKiBPerSecond,
                                                       Clock::time_point now, bool afterIdleGap) {
    const auto step = packetTime(bytes, rateKiBPerSecond);
    if (!deadline_ || afterIdleGap || now - *deadline_ > maximumLateness_) {
        deadline_ = now + step;
    } else {
        *deadline_ += step;
    }
    return *deadline_;
}

}  // namespace quellbox
