#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace quellbox {

// Sets the rate at which the held acknowledgements may release bytes (their budget) so that
// the download, as it arrives, holds the cap.
//
// The budget alone holds what the acknowledgements release. What arrives is that plus the
// growth of what the senders keep in flight: a sender whose window still grows sends more
// than each acknowledgement frees (twice as much in slow start), and a receive window of
// megabytes lets that go on for many seconds. So at every tick the controller reads the bytes
// the held flows' acknowledgements acknowledged as they were read (the data that has
// arrived), measured over the last three ticks, and multiplies the budget by e to the power of
// half the measured rate's shortfall (or excess) as a share of the cap, at most doubled or
// halved per tick: the arithmetic mean of the arrivals, not a geometric one, settles on the cap,
// however unevenly they come (a step of 1 + half the shortfall would settle below it, by a
// quarter of the shortfall's variance). Once the windows stop growing, arrivals equal releases
// and the budget comes back to the cap. Above the cap it goes only while the budget holds
// acknowledgements back, to pay back a shortfall (the senders' windows shrank, a sender
// recovered from a loss); a sender that sends less on its own earns no credit it could later
// spend in a burst.
//
// Not thread-safe; the clock's readings are the caller's, so a test steps through time.
class DownloadRateController {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr double kGain = 0.5;
    static constexpr double kLargestStep = 2.0;
    // The budget stays within these shares of the cap.
    static constexpr double kSmallestTrim = 1.0 / 64.0;
    static constexpr double kLargestTrim = 2.0;
    // Ticks further apart than this (the engine was in stand-by) only start a new interval.
    static constexpr std::chrono::seconds kLongestInterval{2};
    // The rate is measured over the last this many ticks: a single acknowledgement may
    // acknowledge tens of KiB, so one tick's count is coarse; a longer window would lag enough
    // to overshoot.
    static constexpr std::size_t kMeasuredTicks = 3;

    // `kibPerSecond` must be positive.
    explicit DownloadRateController(double kibPerSecond);
    // A new rate starts a new measuring window: the arrivals so far answered the old one.
    void setRate(double kibPerSecond);
    double rate() const { return kibPerSecond_; }

    // `arrivedBytes`, the bytes the held flows have newly acknowledged since the engine
    // started, read at `now`; `heldBack`, whether an acknowledgement waited for the budget
    // since the last tick. Answers the budget for the next interval, in bytes per second.
    double tick(Clock::time_point now, std::uint64_t arrivedBytes, bool heldBack);
    double budget() const;

private:
    struct Reading {
        Clock::time_point when;
        std::uint64_t bytes;
    };

    double kibPerSecond_;
    double trim_ = 1.0;  // the budget's share of the cap
    // The newest readings, back to the base of the measuring window.
    std::deque<Reading> readings_;
};

}  // namespace quellbox
