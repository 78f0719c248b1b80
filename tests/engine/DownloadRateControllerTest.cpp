#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "engine/DownloadRateController.h"

namespace quellbox {
namespace {

using Clock = DownloadRateController::Clock;
constexpr auto kTick = std::chrono::milliseconds(400);
constexpr double kLongestPause = 50000.0;  // microseconds, the registered slider bound
constexpr double kSegment = 1448.0;

// A download as the engine sees it: a TCP window in flight per round trip, the round trip
// lengthened by the pause, and the held acknowledgements leaving one at a time, each after
// the pause (so at most one acknowledgement's bytes per pause).
struct Flow {
    double bytesPerAcknowledgement;
    double windowSegments;
    double windowSwing;  // the window varies by this share, sinusoidally
    int swingTicks;      // over this many ticks
    double roundTripSeconds;

    double bytesPerSecond(double pauseMicros, int tick) const {
        const double window =
            windowSegments * kSegment *
            (1.0 + windowSwing * std::sin(2.0 * std::numbers::pi * tick / swingTicks));
        const double pause = pauseMicros / 1e6;
        double rate = window / (roundTripSeconds + pause);
        if (pause > 0.0) {
            rate = std::min(rate, bytesPerAcknowledgement / pause);
        }
        return rate;
    }
};

// Runs the flow under the controller; answers each tick's rate as a share of its cap.
std::vector<double> run(const Flow& flow, const std::vector<double>& capPerTick) {
    DownloadRateController controller(capPerTick.front());
    DownloadRateController::Totals totals;
    Clock::time_point now{};
    controller.tick(now, totals, kLongestPause);
    std::vector<double> shares;
    for (int tick = 0; tick < static_cast<int>(capPerTick.size()); ++tick) {
        const double cap = capPerTick[static_cast<std::size_t>(tick)];
        controller.setRate(cap);
        const double bytes = flow.bytesPerSecond(controller.pause(), tick) * 0.4;
        shares.push_back(bytes / 0.4 / (cap * 1024.0));
        totals.bytes += static_cast<std::uint64_t>(bytes);
        totals.acknowledgements +=
            static_cast<std::uint64_t>(std::ceil(bytes / flow.bytesPerAcknowledgement));
        now += kTick;
        controller.tick(now, totals, kLongestPause);
    }
    return shares;
}

TEST(DownloadRateController, SettlesWithinFivePercentAndFollowsAChangedCap) {
    struct Case {
        const char* name;
        Flow flow;
        double firstCap;
        double secondCap;  // KiB/s
    };
    const Case cases[] = {
        {"acknowledgements of two segments, each held in turn",
         {2 * kSegment, 64, 0.0, 1, 0.020},
         100,
         200},
        {"acknowledgements of one segment, a lower cap next",
         {kSegment, 32, 0.25, 100, 0.020},
         300,
         150},
        {"a window-bound flow whose window swings by a quarter",
         {65536, 32, 0.25, 100, 0.005},
         1024,
         1536},
    };
    constexpr int kTicksPerCap = 80;
    constexpr int kSettlingTicks = 25;  // ten seconds
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<double> caps(kTicksPerCap, test.firstCap);
        caps.resize(2 * kTicksPerCap, test.secondCap);
        const auto shares = run(test.flow, caps);
        for (int tick = 0; tick < 2 * kTicksPerCap; ++tick) {
            if (tick % kTicksPerCap >= kSettlingTicks) {
                EXPECT_NEAR(shares[static_cast<std::size_t>(tick)], 1.0, 0.05) << "tick " << tick;
            }
        }
    }
}

TEST(DownloadRateController, HoldsNothingBelowTheCapAndNeverPassesTheLongestPause) {
    // Four segments per 20 ms round trip: 283 KiB/s at most.
    const Flow slow{kSegment, 4, 0.0, 1, 0.020};
    DownloadRateController controller(400);
    DownloadRateController::Totals totals;
    Clock::time_point now{};
    for (int tick = 0; tick < 20; ++tick) {
        totals.bytes += static_cast<std::uint64_t>(slow.bytesPerSecond(0, tick) * 0.4);
        totals.acknowledgements += 100;
        now += kTick;
        EXPECT_EQ(controller.tick(now, totals, kLongestPause), 0.0F) << "tick " << tick;
    }
    // 10 KiB/s with acknowledgements of 64 KiB needs more than the longest pause allows.
    controller.setRate(10);
    for (int tick = 0; tick < 20; ++tick) {
        totals.bytes += 200 * 1024;
        totals.acknowledgements += 4;
        now += kTick;
        EXPECT_LE(controller.tick(now, totals, kLongestPause), kLongestPause) << "tick " << tick;
    }
    EXPECT_EQ(controller.pause(), kLongestPause);
}

}  // namespace
}  // namespace quellbox
