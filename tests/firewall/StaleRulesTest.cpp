#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "TempDir.h"
#include "firewall/CommandRunner.h"
#include "firewall/PacketBackend.h"
#include "firewall/StaleRules.h"

namespace quellbox {
namespace {

TEST(StaleRules, FindsOnlyRulesThatDivertToThePort) {
    const std::string listing =
        "00100 allow tcp from any to any 22 in\n"
        "65531 divert 6715 tcp from 192.0.2.1 to any 80 via eth0\n"
        "65532 divert 6715 tcp from 192.0.2.1 80 to any out via eth0\n"
        "65533 divert 8668 tcp from 192.0.2.1 81 to any out via eth0\n"
        "garbage line\n"
        "65535 allow ip from any to any\n";
    EXPECT_EQ(StaleRules::find(listing, 6715), (std::vector<int>{65531, 65532}));
    EXPECT_TRUE(StaleRules::find("65535 allow ip from any to any\n", 6715).empty());
}

// Over the simulator's firewall program and a state file of the test's own.
class StaleRulesOverSimFirewall : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = folder_.path() / "sim.state";
        ::setenv("QUELLBOX_SIM_STATE", state_.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QUELLBOX_SIM_STATE"); }

    bool ipfw(std::vector<std::string> words, std::string* output = nullptr) {
        words.insert(words.begin(), PacketBackend::toolPath("quellbox-sim-ipfw"));
        const auto outcome = CommandRunner::run(words, 1 << 16);
        if (output != nullptr && outcome) {
            *output = outcome->output;
        }
        return outcome && outcome->exited && outcome->exitStatus == 0;
    }
    FirewallPrograms programs() const {
        return {PacketBackend::toolPath("quellbox-sim-ipfw"),
                PacketBackend::toolPath("quellbox-sim-netstat"),
                PacketBackend::toolPath("quellbox-sim-ifconfig"),
                RuleGuard::simulated({"192.0.2.1"}, {"sim0"}), false};
    }

    testing::TempDir folder_;
    std::filesystem::path state_;
};

TEST_F(StaleRulesOverSimFirewall, RemovesEveryLeftoverRuleAndNothingElse) {
    // Two runs killed in turn left two pairs for the same port.
    for (const char* number : {"65533", "65531"}) {
        ASSERT_TRUE(ipfw({"add", number, "divert", "6715", "tcp", "from", "192.0.2.1", "to", "any",
                          "80", "via", "sim0"}));
    }
    for (const char* number : {"65534", "65532"}) {
        ASSERT_TRUE(ipfw({"add", number, "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to",
                          "any", "out", "via", "sim0"}));
    }
    std::string report;
    EXPECT_EQ(StaleRules::removeAll(programs(), 6715, report), 4);
    EXPECT_EQ(report, "4 divert rule(s) to port 6715 removed");
    std::string listing;
    ASSERT_TRUE(ipfw({"list"}, &listing));
    EXPECT_EQ(listing, "65535 allow ip from any to any\n");
    // Nothing left: a second clean-up removes nothing and succeeds.
    EXPECT_EQ(StaleRules::removeAll(programs(), 6715, report), 0);
}

TEST_F(StaleRulesOverSimFirewall, AFailedDeletionIsReportedAndTheOthersStillGo) {
    ASSERT_TRUE(ipfw({"add", "65533", "divert", "6715", "tcp", "from", "192.0.2.1", "to", "any",
                      "80", "via", "sim0"}));
    ASSERT_TRUE(ipfw({"add", "65534", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to",
                      "any", "out", "via", "sim0"}));
    std::ofstream(state_, std::ios::app) << "refuse delete 65533\n";
    std::string report;
    EXPECT_EQ(StaleRules::removeAll(programs(), 6715, report), -1);
    EXPECT_EQ(report, "1 divert rule(s) to port 6715 removed; can't remove rule(s) 65533");
    std::string listing;
    ASSERT_TRUE(ipfw({"list"}, &listing));
    EXPECT_EQ(listing.find("65534"), std::string::npos) << listing;
    EXPECT_NE(listing.find("65533"), std::string::npos) << listing;
}

TEST_F(StaleRulesOverSimFirewall, AFirewallThatCannotBeListedIsAFailure) {
    FirewallPrograms missing = programs();
    missing.firewall = folder_.path() / "no-such-program";
    std::string report;
    EXPECT_EQ(StaleRules::removeAll(missing, 6715, report), -1);
    EXPECT_NE(report.find("can't list the firewall rules"), std::string::npos);
}

}  // namespace
}  // namespace quellbox
