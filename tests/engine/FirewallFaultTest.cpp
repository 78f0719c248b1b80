#include <gtest/gtest.h>

#include <random>
#include <set>

#include "SimEngineFixture.h"
#include "firewall/SimFirewallState.h"
#include "platform/SystemLog.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using testing::SimEngineFixture;

// The firewall program refuses adds and deletes at random while services are capped and
// uncapped: every refusal reaches the user as a notification, and a service the engine
// counts as capped always has both of its rules in the firewall.
TEST(FirewallFaults, RandomRefusalsNeverLeaveACappedServiceWithoutItsRules) {
    SimEngineFixture sim;
    ASSERT_TRUE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
    std::mt19937 random(2024);
    std::vector<std::shared_ptr<Service>> services;
    for (int port = 7001; port <= 7004; ++port) {
        services.push_back(std::make_shared<Service>("s" + std::to_string(port), port));
    }
    SystemLogCapture quiet;
    int failures = 0;
    for (int step = 0; step < 40; ++step) {
        const bool refuse = random() % 3 == 0;
        ASSERT_TRUE(
            SimFirewallState::update(sim.kernel().statePath(), [&](SimFirewallState& state) {
                state.refusals.clear();
                if (refuse) {
                    state.refusals.push_back({random() % 2 ? "add" : "delete", 0});
                }
                return true;
            }));
        auto& service = services[random() % services.size()];
        const bool capped = sim.engine().isCappedUL(service->servicePort());
        const int result =
            capped ? sim.engine().removeULService(service) : sim.engine().addULService(service);
        failures += result < 0 ? 1 : 0;

        sim.kernel().syncRules();
        std::multiset<int> rulePorts;
        for (const auto& rule : sim.kernel().rules()) {
            rulePorts.insert(rule.port);
        }
        for (const auto& each : services) {
            if (sim.engine().isCappedUL(each->servicePort())) {
                EXPECT_GE(rulePorts.count(each->servicePort()), 2U) << "step " << step;
            }
        }
    }
    EXPECT_GT(failures, 0) << "the refusals were never exercised";
    EXPECT_EQ(static_cast<int>(sim.problems().size()), failures);
}

}  // namespace
}  // namespace quellbox
