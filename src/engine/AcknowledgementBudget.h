#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quellbox {

// The download rate mode's token bucket: held acknowledgements leave only as fast as the
// bytes they newly acknowledge fit a rate. Each one spends its bytes; the bucket refills at
// the rate and holds at most kDepth of it, so an idle spell allows a burst of that much and
// no more. An acknowledgement larger than the bucket (a stretch acknowledgement of tens of
// KiB at a low rate) leaves once the bucket is full and leaves it in debt, which the next
// ones wait off: over any stretch of time the bytes released are the rate's, give or take
// one bucket. An acknowledgement of nothing new (a duplicate) never waits.
//
// Not thread-safe; the clock's readings are the caller's, so a test steps through time.
class AcknowledgementBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kDepth = std::chrono::milliseconds(20);

    // `bytesPerSecond` must be positive. The bucket starts full.
    explicit AcknowledgementBudget(double bytesPerSecond) : rate_(bytesPerSecond) {}

    // From `now` on, the bucket refills at `bytesPerSecond` (positive).
    void setRate(double bytesPerSecond, Clock::time_point now);
    double rate() const { return rate_; }

    // When an acknowledgement of `bytes` newly acknowledged bytes may leave: `now` if the
    // bucket holds them already, else the moment it will at the present rate.
    Clock::time_point releaseTime(std::uint64_t bytes, Clock::time_point now);
    // An acknowledgement of `bytes` left at `now`.
    void spend(std::uint64_t bytes, Clock::time_point now);

private:
    double depthBytes() const;
    void refill(Clock::time_point now);

    double rate_;                                // bytes per second
    std::optional<double> tokens_;               // bytes; negative: in debt; unset: full
    std::optional<Clock::time_point> refilled_;  // when tokens_ was last brought up to date
};

}  // namespace quellbox
