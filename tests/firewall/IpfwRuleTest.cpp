#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FakePrograms.h"
#include "firewall/IpfwRule.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::FakePrograms;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

class IpfwRuleTest : public ::testing::Test {
protected:
    IpfwRuleTest() {
        fakes_.setFile("routes", "default            192.0.2.254        UGSc   4   15   sim0\n");
        fakes_.setFile("ifconfig-sim0",
                       "sim0: flags=8863<UP> mtu 1500\n\tinet 192.0.2.1 netmask 0xffffff00\n");
    }

    // The firewall calls after the first (the listing), without the program path.
    std::vector<std::string> ruleCalls() const {
        std::vector<std::string> calls;
        const std::string prefix = fakes_.programs().firewall + " ";
        for (const auto& line : lines(fakes_.file("calls"))) {
            EXPECT_EQ(line.rfind(prefix, 0), 0U) << "program not called by its path: " << line;
            calls.push_back(line.substr(prefix.size()));
        }
        return calls;
    }

    FakePrograms fakes_;
    SystemLogCapture log_;
};

TEST_F(IpfwRuleTest, PairsAreTakenBelowTheDefaultRuleWithTheExactCommands) {
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65535);
    ASSERT_EQ(rule.applyRule(80), 0);
    ASSERT_EQ(rule.applyRule(5500), 0);
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65531);
    EXPECT_EQ(rule.rulesForPort(80), (std::pair{65533, 65534}));
    EXPECT_EQ(rule.rulesForPort(5500), (std::pair{65531, 65532}));
    const std::vector<std::string> expected{
        "list",
        "add 65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0",
        "add 65533 divert 6715 tcp from 192.0.2.1 to any 80 via sim0",
        "add 65532 divert 6715 tcp from 192.0.2.1 5500 to any out via sim0",
        "add 65531 divert 6715 tcp from 192.0.2.1 to any 5500 via sim0",
    };
    EXPECT_EQ(ruleCalls(), expected);
    // Interface and address were searched once.
    EXPECT_EQ(lines(fakes_.file("runs")).size(), 1U);
}

TEST_F(IpfwRuleTest, RemovingTheNewestPairGivesItsNumbersBack) {
    IpfwRule rule(fakes_.programs());
    ASSERT_EQ(rule.applyRule(80), 0);
    ASSERT_EQ(rule.applyRule(81), 0);
    ASSERT_EQ(rule.derule(81), 0);
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65533);
    EXPECT_TRUE(rule.deletedRules().empty());
    EXPECT_FALSE(rule.rulesForPort(81).has_value());
    ASSERT_EQ(rule.applyRule(82), 0);
    EXPECT_EQ(rule.rulesForPort(82), (std::pair{65531, 65532}));
    const auto calls = ruleCalls();
    EXPECT_EQ(calls[5], "delete 65531");
    EXPECT_EQ(calls[6], "delete 65532");
}

TEST_F(IpfwRuleTest, AFreedOlderPairIsReusedWithTheSameRoles) {
    IpfwRule rule(fakes_.programs());
    ASSERT_EQ(rule.applyRule(80), 0);  // 65533 / 65534
    ASSERT_EQ(rule.applyRule(81), 0);  // 65531 / 65532
    ASSERT_EQ(rule.derule(80), 0);
    EXPECT_EQ(rule.deletedRules(), (std::vector<int>{65533, 65534}));
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65531);
    ASSERT_EQ(rule.applyRule(9000), 0);
    EXPECT_EQ(rule.rulesForPort(9000), (std::pair{65533, 65534}));
    EXPECT_TRUE(rule.deletedRules().empty());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65531);
    const auto calls = ruleCalls();
    EXPECT_EQ(calls.back(), "add 65533 divert 6715 tcp from 192.0.2.1 to any 9000 via sim0");
}

TEST_F(IpfwRuleTest, LowestNumberThreeAllowsExactlyOnePair) {
    fakes_.setFile("listing", "00003 allow ip from any to any\n65535 allow ip from any to any\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 3);
    ASSERT_EQ(rule.applyRule(80), 0);
    EXPECT_EQ(rule.rulesForPort(80), (std::pair{1, 2}));
    EXPECT_EQ(rule.applyRule(81), -1);
    EXPECT_EQ(log_.count("MAJOR QUELLBOX ERROR : THERE IS NO AVAILABLE RULE LEFT !"), 1);
    EXPECT_EQ(ruleCalls().size(), 3U);  // no command for the refused port
}

TEST_F(IpfwRuleTest, FirstRuleOneOrTwoLeavesNoNumbers) {
    for (const char* listing :
         {"00001 deny ip from any to any\n", "00002 count ip from any to any\n"}) {
        fakes_.setFile("listing", listing);
        IpfwRule rule(fakes_.programs());
        EXPECT_EQ(rule.applyRule(80), -1) << listing;
    }
}

TEST_F(IpfwRuleTest, AFirstLineWithoutANumberLeavesNoNumbers) {
    fakes_.setFile("listing", "ipfw: firewall disabled\n65535 allow ip from any to any\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 0);
    EXPECT_EQ(rule.applyRule(80), -1);
    EXPECT_EQ(log_.count("MAJOR QUELLBOX ERROR : THERE IS NO AVAILABLE RULE LEFT !"), 1);
}

TEST_F(IpfwRuleTest, ARefusedClientRuleSpendsThePairAndKeepsTheServerRule) {
    fakes_.setFile("refuse-add-65533", "");
    IpfwRule rule(fakes_.programs());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rule.applyRule(80), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(rule.rulesForPort(80).has_value());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65533);
    EXPECT_TRUE(rule.deletedRules().empty());
    EXPECT_EQ(
        log_.count(
            "MAJOR QUELLBOX ERROR : SERVER rule has been applied but CLIENT one FAILED !, you must "
            "remove client rule manually !!!"),
        1);
    // No undo: the server rule was added and never deleted.
    const auto calls = ruleCalls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[1].rfind("add 65534 ", 0), 0U);
    // The next port takes fresh numbers.
    ASSERT_EQ(rule.applyRule(81), 0);
    EXPECT_EQ(rule.rulesForPort(81), (std::pair{65531, 65532}));
}

TEST_F(IpfwRuleTest, ARefusedServerRuleFailsWithItsMessage) {
    fakes_.setFile("refuse-add-65534", "");
    IpfwRule rule(fakes_.programs());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rule.applyRule(80), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        log_.count(
            "MAJOR QUELLBOX ERROR : CLIENT rule can't be applied !, you must remove client rule "
            "manually !!!"),
        1);
    EXPECT_EQ(ruleCalls().size(), 2U);
}

TEST_F(IpfwRuleTest, RefusedDeletionsKeepTheEntry) {
    IpfwRule rule(fakes_.programs());
    ASSERT_EQ(rule.applyRule(80), 0);
    ::testing::internal::CaptureStderr();
    fakes_.setFile("refuse-delete-65533", "");
    EXPECT_EQ(rule.derule(80), -1);
    EXPECT_EQ(log_.count("MAJOR QUELLBOX ERROR : SERVER AND CLIENT rules can't be removed !, you "
                         "must remove them "
                         "rule manually !!!"),
              1);
    std::filesystem::remove(fakes_.folder() / "refuse-delete-65533");
    fakes_.setFile("refuse-delete-65534", "");
    EXPECT_EQ(rule.derule(80), -1);
    EXPECT_EQ(log_.count("MAJOR QUELLBOX ERROR : CLIENT rule can't be removed but SERVER rule has "
                         "been !!, you must "
                         "remove the CLIENT rule manually !!!"),
              1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rule.rulesForPort(80), (std::pair{65533, 65534}));
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65533);
}

TEST_F(IpfwRuleTest, RemovingAPortWithoutRulesFailsNamingThePort) {
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.derule(4242), -1);
    EXPECT_EQ(
        log_.count("MAJOR QUELLBOX ERROR : there is no rule for port : 4242, can't remove it !"),
        1);
    EXPECT_EQ(ruleCalls().size(), 1U);
}

TEST_F(IpfwRuleTest, WithoutNetworkTheShortenedRuleIsRefusedBeforeTheFirewallRuns) {
    fakes_.setFile("routes", "Routing tables\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.applyRule(80), -1);
    // The list ends where the empty address would stand.
    EXPECT_EQ(log_.count("Quellbox refuses the firewall command 'add 65534 divert 6715 tcp from': "
                         "expected 'add N divert D tcp from A P to any out via I' or 'add N "
                         "divert D tcp from A to any P via I'"),
              1);
    EXPECT_EQ(ruleCalls(), std::vector<std::string>{"list"});
}

TEST_F(IpfwRuleTest, ARuleTheGuardRefusesIsNeverRun) {
    IpfwRule rule(fakes_.programs());
    rule.setInterface("sim+");
    rule.setIpAdr("192.0.2.1");
    EXPECT_EQ(rule.applyRule(80), -1);
    EXPECT_EQ(log_.count("Quellbox refuses the firewall command 'add 65534 divert 6715 tcp from "
                         "192.0.2.1 80 to any out via sim+': 'sim+' is not a plain interface name "
                         "(letters, digits, '-', '_', '.')"),
              1);
    EXPECT_EQ(ruleCalls(), std::vector<std::string>{"list"});
}

// Without a log capture, so that the message reaches standard error.
TEST(IpfwRuleDeathTest, AFailedRuleListingEndsTheApplication) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakePrograms fakes;
    FakePrograms::writeScript(fakes.folder() / "ipfw", "exit 3\n");
    EXPECT_EXIT({ IpfwRule rule(fakes.programs()); }, ::testing::ExitedWithCode(1),
                "Quellbox Error : execThisCommand failed !");
}

// A subclass that runs no program, as the engine's tests use.
class RecordingRules : public IpfwRule {
public:
    int applyRule(int port) override {
        applied.push_back(port);
        return 0;
    }
    std::vector<int> applied;
};

TEST(IpfwRuleFake, ASubclassNeedsNoFirewall) {
    RecordingRules rules;
    IpfwRule& manager = rules;
    EXPECT_EQ(manager.applyRule(80), 0);
    EXPECT_EQ(rules.applied, std::vector<int>{80});
    EXPECT_EQ(manager.lowestIpfwRuleNumber(), 65535);
    manager.setIpAdr("192.0.2.1");
    EXPECT_EQ(manager.ipAdr(), "192.0.2.1");
}

}  // namespace
}  // namespace quellbox
