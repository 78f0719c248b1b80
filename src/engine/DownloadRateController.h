#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace quellbox {

// Holds a download to a rate by setting the acknowledgement pause: at each tick it reads the
// bytes the held acknowledgements have newly acknowledged and moves the pause so that the
// next interval's download meets the rate.
//
// The physics: the held acknowledgements leave one at a time, each after the pause, so a
// download carries at most (bytes per acknowledgement) / pause; a window-bound TCP flow
// carries about window / (round trip + pause). Either way the rate falls as the pause
// grows, roughly as its inverse, so the pause is corrected by a power of the measured over
// the wanted rate (measured over the last three ticks): multiplicative, damped by the gain (a half:
// half the error in the logarithm goes per tick, which settles within a few ticks without
// overshooting even when the measurement lags a tick behind), and at most doubled or halved per
// tick. From no pause, the first one is the pause that would hold the rate if each acknowledgement
// left alone: the measured bytes per acknowledgement over the rate.
//
// Not thread-safe; the clock's readings are the caller's, so a test steps through time.
class DownloadRateController {
public:
    using Clock = std::chrono::steady_clock;
    struct Totals {
        std::uint64_t bytes = 0;             // newly acknowledged, since the engine started
        std::uint64_t acknowledgements = 0;  // packets that acknowledged new bytes
    };

    static constexpr double kGain = 0.5;
    static constexpr double kLargestStep = 2.0;
    // A shorter pause holds nothing back that the write itself does not: it becomes none.
    static constexpr double kShortestPauseMicros = 20.0;
    // Ticks further apart than this (the engine was in stand-by) only start a new interval.
    static constexpr std::chrono::seconds kLongestInterval{2};
    // The rate is measured over the last this many ticks: a single acknowledgement may
    // release tens of KiB, so one tick's count is coarse; a longer window would lag enough
    // to overshoot.
    static constexpr std::size_t kMeasuredTicks = 3;

    // `kibPerSecond` must be positive.
    explicit DownloadRateController(double kibPerSecond);
    void setRate(double kibPerSecond);
    double rate() const { return kibPerSecond_; }

    // The totals read at `now`; answers the pause (microseconds, 0 to `longestPauseMicros`)
    // for the next interval.
    float tick(Clock::time_point now, Totals totals, double longestPauseMicros);
    float pause() const { return static_cast<float>(pauseMicros_); }

private:
    struct Reading {
        Clock::time_point when;
        Totals totals;
    };

    double kibPerSecond_;
    double pauseMicros_ = 0.0;
    // The newest readings, back to the base of the measuring window.
    std::deque<Reading> readings_;
};

}  // namespace quellbox
