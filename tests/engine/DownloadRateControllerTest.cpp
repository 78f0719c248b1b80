#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "engine/DownloadRateController.h"

namespace quellbox {
namespace {

using Clock = DownloadRateController::Clock;
constexpr auto kTick = std::chrono::milliseconds(400);
constexpr double kSeconds = 0.4;

// A download as the engine sees it: the held acknowledgements release what the budget lets
// them, and the sender answers each released byte with `growth` bytes (twice as many while its
// window doubles in slow start, one once the window stands), or with no more than
// `senderLimit` bytes per second of its own. With `uneven`, each tick brings a random share of
// it between none and twice as much, as a few large acknowledgements at a low rate do.
struct Phase {
    int ticks;
    double growth;
    double senderLimit;  // bytes per second
    double cap;          // KiB/s
    bool uneven = false;
};

// Runs the phases under the controller; answers each tick's arrivals as a share of its cap.
std::vector<double> run(const std::vector<Phase>& phases, double* lastBudget = nullptr) {
    DownloadRateController controller(phases.front().cap);
    std::uint64_t arrived = 0;
    Clock::time_point now{};
    controller.tick(now, arrived, false);
    double budget = 0.0;
    std::vector<double> shares;
    std::mt19937 generator(1);  // the raw engine, whose sequence the standard fixes
    for (const Phase& phase : phases) {
        controller.setRate(phase.cap);
        budget = controller.budget();  // the engine applies a new cap at once
        for (int tick = 0; tick < phase.ticks; ++tick) {
            const double wanted = budget * phase.growth;
            const double share = phase.uneven ? 2.0 * generator() / std::mt19937::max() : 1.0;
            const double bytes = std::min(wanted, phase.senderLimit) * kSeconds * share;
            shares.push_back(bytes / kSeconds / (phase.cap * 1024.0));
            arrived += static_cast<std::uint64_t>(bytes);
            now += kTick;
            budget = controller.tick(now, arrived, wanted < phase.senderLimit);
            EXPECT_LE(budget, 2.0 * phase.cap * 1024.0) << "the budget passed twice the cap";
        }
    }
    if (lastBudget != nullptr) {
        *lastBudget = budget;
    }
    return shares;
}

TEST(DownloadRateController, HoldsTheArrivingDownloadWhileTheSendersWindowGrows) {
    constexpr double kUnlimited = 1e12;
    constexpr int kSettlingTicks = 15;  // six seconds
    struct Case {
        const char* name;
        std::vector<Phase> phases;
    };
    const Case cases[] = {
        {"slow start, then a standing window",
         {{60, 2.0, kUnlimited, 100}, {60, 1.0, kUnlimited, 100}}},
        {"a window growing by half, then a higher cap",
         {{60, 1.5, kUnlimited, 1024}, {60, 1.5, kUnlimited, 10240}}},
        {"a standing window, then a lower cap",
         {{60, 1.0, kUnlimited, 10240}, {60, 1.0, kUnlimited, 300}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto shares = run(test.phases);
        std::size_t tick = 0;
        for (const Phase& phase : test.phases) {
            for (int inPhase = 0; inPhase < phase.ticks; ++inPhase, ++tick) {
                if (inPhase >= kSettlingTicks) {
                    EXPECT_NEAR(shares[tick], 1.0, 0.05) << "tick " << tick;
                }
            }
        }
    }
}

TEST(DownloadRateController, UnevenArrivalsAverageTheCap) {
    const auto shares = run({{400, 1.0, 1e12, 100, true}});
    const double mean = std::accumulate(shares.begin() + 15, shares.end(), 0.0) /
                        static_cast<double>(shares.size() - 15);
    EXPECT_NEAR(mean, 1.0, 0.01);
}

TEST(DownloadRateController, BudgetReturnsToTheCapWhenTheSenderSlowsOrStops) {
    // The window grew (the budget went down to hold the arrivals), then the sender sends
    // less than the cap, then nothing: holding back would only lose download, and what it
    // did not send earns no budget above the cap.
    for (const double senderLimit : {50.0 * 1024.0, 0.0}) {
        SCOPED_TRACE(senderLimit);
        double budget = 0.0;
        run({{40, 2.0, 1e12, 100}, {20, 1.0, senderLimit, 100}}, &budget);
        EXPECT_DOUBLE_EQ(budget, 100.0 * 1024.0);
    }
}

}  // namespace
}  // namespace quellbox
