#include <gtest/gtest.h>

#include "simulation/SimScenario.h"

namespace quellbox {
namespace {

TEST(SimScenario, ReadsServicesAndClientsWithQuotesAndDefaults) {
    std::string error;
    const auto scenario = SimScenario::parse(
        "# a comment\r\n"
        "\n"
        "service 6700 My Server download\n"
        "service 8080 Web\n"
        "client 192.0.2.10 download port=6700 login=alice name=\"Big Al\" demand=12.5 window=3 "
        "start=1 stop=9 size=576 rtt=5 psh=0 priority=10\n"
        "client 192.0.2.30 outgoing port=8080\n",
        error);
    ASSERT_TRUE(scenario.has_value()) << error;
    ASSERT_EQ(scenario->services.size(), 2U);
    EXPECT_EQ(scenario->services[0].name, "My Server");
    EXPECT_TRUE(scenario->services[0].downloadCapped);
    EXPECT_FALSE(scenario->services[1].downloadCapped);
    ASSERT_EQ(scenario->clients.size(), 2U);
    const auto& alice = scenario->clients[0];
    EXPECT_EQ(alice.ip, (192U << 24) | (2U << 8) | 10U);
    EXPECT_EQ(alice.screenName, "Big Al");
    EXPECT_DOUBLE_EQ(alice.demandKiBPerSecond, 12.5);
    EXPECT_EQ(alice.window, 3);
    EXPECT_EQ(alice.packetSize, 576);
    EXPECT_EQ(alice.pshEvery, 0);
    EXPECT_EQ(alice.priority, 10);
    const auto& outgoing = scenario->clients[1];
    EXPECT_EQ(outgoing.kind, SimScenario::Kind::Outgoing);
    EXPECT_EQ(outgoing.window, 16);
    EXPECT_EQ(outgoing.packetSize, 1500);
    EXPECT_EQ(outgoing.priority, -1);
    EXPECT_NE(scenario->defaultPrioritiesText().find("alice=10\n"), std::string::npos);
}

TEST(SimScenario, MistakesNameTheirLine) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"client 10.0.0.1 download port=1", "192.0.2.0/24"},
        {"client 192.0.2.1 download port=1", "other than 192.0.2.1"},
        {"client 192.0.2.9 sideways port=1", "unknown kind"},
        {"client 192.0.2.9 download", "needs port"},
        {"client 192.0.2.9 download port=70000", "port="},
        {"client 192.0.2.9 download port=1 window=0", "window="},
        {"client 192.0.2.9 download port=1 start=5 stop=2", "stop must come after start"},
        {"client 192.0.2.9 download port=1 colour=red", "unknown key"},
        {"client 192.0.2.9 download port=1 name=\"open", "unclosed"},
        {"service http Web", "not a port"},
        {"service 80", "expected"},
        {"server 80 Web", "unknown entry"},
    };
    for (const auto& [line, reason] : bad) {
        std::string error;
        EXPECT_FALSE(SimScenario::parse("# first\n" + line + "\n", error).has_value()) << line;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0U) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << line << " -> " << error;
    }
}

TEST(SimScenario, TheDemoParses) {
    std::string error;
    const auto demo = SimScenario::parse(SimScenario::demoText(), error);
    ASSERT_TRUE(demo.has_value()) << error;
    EXPECT_FALSE(demo->services.empty());
    EXPECT_GE(demo->clients.size(), 3U);
    std::string missing;
    EXPECT_FALSE(SimScenario::load("/nonexistent/scenario", missing).has_value());
    EXPECT_NE(missing.find("/nonexistent/scenario"), std::string::npos);
}

}  // namespace
}  // namespace quellbox
