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
//
// Data that leaves without pacing (segments with PSH or SYN travel with the acknowledgements)
// is charged to the same deadline, so the paced packets after it make room for it and the
// sum holds to the rate; a charge never pushes the deadline further than `maximumChargeLead`
// ahead of now, so unpaced traffic alone cannot stall the paced packets for long.
class PacingClock {
public:
    using Clock = std::chrono::steady_clock;

    explicit PacingClock(Clock::duration maximumLateness = std::chrono::milliseconds(2),
                         Clock::duration maximumChargeLead = std::chrono::milliseconds(250))
        : maximumLateness_(maximumLateness), maximumChargeLead_(maximumChargeLead) {}

    // A packet of `bytes` bytes has just been written at `now`, at `rateKiBPerSecond`
    // (positive); `afterIdleGap` says the queue had run empty before it (a deadline already
    // past then restarts from now). Answers when the next packet may be written.
    Clock::time_point packetSent(std::int32_t bytes, double rateKiBPerSecond, Clock::time_point now,
                                 bool afterIdleGap);
    // `bytes` of data left at `now` without pacing: the next paced packets wait for them too.
    void charge(std::int32_t bytes, double rateKiBPerSecond, Clock::time_point now);
    // Forget the deadline (pacing was switched off).
    void reset() { deadline_.reset(); }

    // The time one packet occupies at the rate: bytes / (rate * 1024) seconds.
    static Clock::duration packetTime(std::int32_t bytes, double rateKiBPerSecond);

private:
    Clock::duration maximumLateness_;
    Clock::duration maximumChargeLead_;
    std::optional<Clock::time_point> deadline_;
};

}  // namespace quellbox
