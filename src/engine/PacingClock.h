#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quellbox {

// When the next DATA packet may leave so that the upload holds to the rate. The deadline
// advances by each packet's time from the previous deadline, not from the moment the sleep
// ended, so the few tens of microseconds every sleep overshoots are not lost. It restarts
// from now only after a real idle gap: the queue ran empty, or the sender fell behind by more
// than `maximumLateness`, so idle time never turns into a burst.
class PacingClock {
public:
    using Clock = std::chrono::steady_clock;

    explicit PacingClock(Clock::duration maximumLateness = std::chrono::milliseconds(2))
        : maximumLateness_(maximumLateness) {}

    // A packet of `bytes` bytes has just been written at `now`, at `rateKiBPerSecond`
    // (positive); `afterIdleGap` says the queue had run empty before it. Answers when the
    // next packet may be written.
    Clock::time_point packetSent(std::int32_t bytes, double rateKiBPerSecond, Clock::time_point now,
                                 bool afterIdleGap);
    // Forget the deadline (pacing was switched off).
    void reset() { deadline_.reset(); }

    // The time one packet occupies at the rate: bytes / (rate * 1024) seconds.
    static Clock::duration packetTime(std::int32_t bytes, double rateKiBPerSecond);

private:
    Clock::duration maximumLateness_;
    std::optional<Clock::time_point> deadline_;
};

}  // namespace quellbox
