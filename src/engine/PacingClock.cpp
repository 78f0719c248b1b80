#include "engine/PacingClock.h"

#include <algorithm>

namespace quellbox {

PacingClock::Clock::duration PacingClock::packetTime(std::int32_t bytes, double rateKiBPerSecond) {
    // A rate near zero would give a time beyond what the clock can count (converting it
    // is undefined); a day is already a stop in all but name, and a later rate change takes
    // effect after it.
    constexpr double kLongestWait = 24.0 * 3600.0;
    const double seconds =
        std::min(static_cast<double>(bytes) / (rateKiBPerSecond * 1024.0), kLongestWait);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

PacingClock::Clock::time_point PacingClock::packetSent(std::int32_t bytes, double rateKiBPerSecond,
                                                       Clock::time_point now, bool afterIdleGap) {
    const auto step = packetTime(bytes, rateKiBPerSecond);
    if (!deadline_ || (afterIdleGap && *deadline_ < now) || now - *deadline_ > maximumLateness_) {
        deadline_ = now + step;
    } else {
        *deadline_ += step;
    }
    return *deadline_;
}

void PacingClock::charge(std::int32_t bytes, double rateKiBPerSecond, Clock::time_point now) {
    const auto step = packetTime(bytes, rateKiBPerSecond);
    if (!deadline_ || now - *deadline_ > maximumLateness_) {
        deadline_ = now + step;
    } else {
        // A lead that a single slow packet already holds is kept, never shortened.
        *deadline_ = std::max(*deadline_, std::min(*deadline_ + step, now + maximumChargeLead_));
    }
}

}  // namespace quellbox
