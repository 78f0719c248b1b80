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
// arrived), measured over the last three ticks, and trims the budget by a power of the wanted
// over the measured rate: multiplicative, damped by the gain (a half: half the error in the
// logarithm goes per tick), at most doubled or halved per tick, and never above the cap
// itself, so that the released bytes alone can never carry the download past it. Once the
// windows stop growing, arrivals equal releases and the budget comes back to the cap.
//
// Not thread-safe; the clock's readings are the caller's, so a test steps through time.
class DownloadRateController {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr double kGain = 0.5;
    static constexpr double kLargestStep = 2.0;
    // The budget stays within this share of the cap and the cap.
    static constexpr double kSmallestTrim = 1.0 / 64.0;
    // Ticks further apart than this (the engine was in stand-by) only start a new interval.
    static constexpr std::chrono::seconds kLongestInterval{2};
    // The rate is measured over the last this many ticks: a single acknowledgement may
    // acknowledge tens of KiB, so one tick's count is coarse; a longer window would lag enough
    // to overshoot.
    static constexpr std::size_t kMeasuredTicks = 3;

    // `kibPerSecond` must be positive.
    explicit DownloadRateController(double kibPerSecond);
    void setRate(double kibPerSecond);
    double rate() const { return kibPerSecond_; }

    // `arrivedBytes`, the bytes the held flows have newly acknowledged since the engine
    // started, read at `now`; answers the budget for the next interval, in bytes per second.
    double tick(Clock::time_point now, std::uint64_t arrivedBytes);
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
