#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FakePrograms.h"
#include "firewall/IPLayer.h"
#include "firewall/IpfwRule.h"
#include "platform/NotificationCenter.h"
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
        observer_ = NotificationCenter::defaultCenter().addObserver(
            "noNetworkNotification", [this](const Notification& note) {
                EXPECT_EQ(note.object, nullptr);
                ++noNetwork_;
            });
        fakes_.setFile("routes", "default            192.0.2.254        UGSc   4   15   sim0\n");
        fakes_.setFile("ifconfig-sim0",
                       "sim0: flags=8863<UP> mtu 1500\n\tinet 192.0.2.1 netmask 0xffffff00\n");
    }

    ~IpfwRuleTest() override { NotificationCenter::defaultCenter().removeObserver(observer_); }

    std::size_t routeTableRuns() const { return lines(fakes_.file("runs")).size(); }
    // The firewall calls, without the program path.
    std::vector<std::string> ruleCalls() const {
        std::vector<std::string> calls;
        const std::string prefix = fakes_.programs().firewall + " ";
        for (const auto& line : lines(fakes_.file("calls"))) {
            EXPECT_EQ(line.rfind(prefix, 0), 0U) << "program not called by its path: " << line;
            calls.push_back(line.substr(prefix.size()));
        }
        return calls;
    }
    // How many lines of the log contain `part`.
    int logged(const std::string& part) const {
        const auto all = log_.lines();
        return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const auto& line) {
            return line.find(part) != std::string::npos;
        }));
    }

    FakePrograms fakes_;
    SystemLogCapture log_;
    std::atomic<int> noNetwork_{0};
    NotificationCenter::ObserverId observer_ = 0;
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
    EXPECT_EQ(routeTableRuns(), 1U);
}

TEST_F(IpfwRuleTest, RemovedPairsAreGivenBackOrReusedWithTheSameRoles) {
    IpfwRule rule(fakes_.programs());
    ASSERT_EQ(rule.applyRule(80), 0);  // 65533 / 65534
    ASSERT_EQ(rule.applyRule(81), 0);  // 65531 / 65532
    // The newest pair goes back to the free numbers below.
    ASSERT_EQ(rule.derule(81), 0);
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65533);
    EXPECT_TRUE(rule.deletedRules().empty());
    EXPECT_FALSE(rule.rulesForPort(81).has_value());
    ASSERT_EQ(rule.applyRule(82), 0);
    EXPECT_EQ(rule.rulesForPort(82), (std::pair{65531, 65532}));
    // An older pair is kept aside and taken first.
    ASSERT_EQ(rule.derule(80), 0);
    EXPECT_EQ(rule.deletedRules(), (std::vector<int>{65533, 65534}));
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65531);
    ASSERT_EQ(rule.applyRule(9000), 0);
    EXPECT_EQ(rule.rulesForPort(9000), (std::pair{65533, 65534}));
    EXPECT_TRUE(rule.deletedRules().empty());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65531);
    const auto calls = ruleCalls();
    EXPECT_EQ(calls[5], "delete 65531");
    EXPECT_EQ(calls[6], "delete 65532");
    EXPECT_EQ(calls.back(), "add 65533 divert 6715 tcp from 192.0.2.1 to any 9000 via sim0");
}

TEST_F(IpfwRuleTest, TheLowestRuleInTheListingBoundsTheNumbersLeft) {
    const struct {
        const char* firstLine;
        int lowest;
        int pairs;
    } cases[] = {
        {"00003 allow ip from any to any\n", 3, 1},  // exactly 1 and 2
        {"00002 count ip from any to any\n", 2, 0},
        {"00001 deny ip from any to any\n", 1, 0},
        {"ipfw: firewall disabled\n", 0, 0},  // no number: no rule may be taken
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstLine);
        fakes_.setFile("listing", c.firstLine + std::string("65535 allow ip from any to any\n"));
        fakes_.setFile("calls", "");
        log_.clear();
        IpfwRule rule(fakes_.programs());
        EXPECT_EQ(rule.lowestIpfwRuleNumber(), c.lowest);
        if (c.pairs == 1) {
            ASSERT_EQ(rule.applyRule(80), 0);
            EXPECT_EQ(rule.rulesForPort(80), (std::pair{1, 2}));
        }
        EXPECT_EQ(rule.applyRule(81), -1);
        EXPECT_EQ(logged("THERE IS NO AVAILABLE RULE LEFT"), 1);
        EXPECT_EQ(ruleCalls().size(), 1U + 2 * c.pairs) << "a command for the refused port";
    }
}

TEST_F(IpfwRuleTest, RefusedAdditionsFailAndNameWhatIsLeftToRemove) {
    fakes_.setFile("refuse-add-65533", "");
    IpfwRule rule(fakes_.programs());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rule.applyRule(80), -1);
    // The client rule refused: the pair is spent and the server rule stays (no undo).
    EXPECT_FALSE(rule.rulesForPort(80).has_value());
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65533);
    EXPECT_TRUE(rule.deletedRules().empty());
    EXPECT_EQ(logged("SERVER rule has been applied but CLIENT one FAILED"), 1);
    auto calls = ruleCalls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[1].rfind("add 65534 ", 0), 0U);
    // The next port takes fresh numbers; its server rule refused, no client rule is tried.
    fakes_.setFile("refuse-add-65532", "");
    EXPECT_EQ(rule.applyRule(81), -1);
    EXPECT_EQ(logged("CLIENT rule can't be applied"), 1);
    EXPECT_EQ(ruleCalls().size(), 4U);
    std::filesystem::remove(fakes_.folder() / "refuse-add-65532");
    ASSERT_EQ(rule.applyRule(82), 0);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rule.rulesForPort(82), (std::pair{65529, 65530}));
}

TEST_F(IpfwRuleTest, RefusedDeletionsKeepTheEntry) {
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.derule(4242), -1);
    EXPECT_EQ(logged("there is no rule for port : 4242, can't remove it"), 1);
    EXPECT_EQ(ruleCalls().size(), 1U);
    ASSERT_EQ(rule.applyRule(80), 0);
    ::testing::internal::CaptureStderr();
    fakes_.setFile("refuse-delete-65533", "");
    EXPECT_EQ(rule.derule(80), -1);
    EXPECT_EQ(logged("SERVER AND CLIENT rules can't be removed"), 1);
    std::filesystem::remove(fakes_.folder() / "refuse-delete-65533");
    fakes_.setFile("refuse-delete-65534", "");
    EXPECT_EQ(rule.derule(80), -1);
    EXPECT_EQ(logged("CLIENT rule can't be removed but SERVER rule has been"), 1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rule.rulesForPort(80), (std::pair{65533, 65534}));
    EXPECT_EQ(rule.lowestIpfwRuleNumber(), 65533);
}

TEST_F(IpfwRuleTest, RulesTheGuardRefusesAreNeverRun) {
    // Without network the rule is cut short where the empty address would stand.
    fakes_.setFile("routes", "Routing tables\n");
    IpfwRule offline(fakes_.programs());
    EXPECT_EQ(offline.applyRule(80), -1);
    EXPECT_EQ(logged("refuses the firewall command 'add 65534 divert 6715 tcp from': expected"), 1);
    IpfwRule rule(fakes_.programs());
    rule.setInterface("sim+");
    rule.setIpAdr("192.0.2.1");
    EXPECT_EQ(rule.applyRule(80), -1);
    EXPECT_EQ(logged("via sim+': 'sim+' is not a plain interface name"), 1);
    EXPECT_EQ(ruleCalls(), (std::vector<std::string>{"list", "list"}));
}

constexpr const char* kBsdRoutes =
    "Routing tables\n\nInternet:\n"
    "Destination        Gateway            Flags    Refs      Use  Netif Expire\n"
    "127                127.0.0.1          UCS         0        0    lo0\n"
    "default            192.168.1.1        UGSc        4       15    en0\n"
    "192.168.1          link#4             UCS         1        0    en0\n";

TEST_F(IpfwRuleTest, InterfaceAndAddressFromTheRouteTableAndTheInterfaceList) {
    const struct {
        const char* what;
        std::string routes;
        std::string allInterfaces;  // ifconfig without arguments
        std::string interfaceText;  // ifconfig of the interface found
        std::string interfaceName;
        const char* address;  // nothing: not asked
        int noNetwork;
        std::size_t errors;
    } cases[] = {
        {"the default route's interface column", kBsdRoutes, "", "", "en0", nullptr, 0, 0},
        {"no default route", "Routing tables\n\nInternet:\n127 127.0.0.1 UCS 0 0 lo0\n", "", "", "",
         nullptr, 1, 0},
        {"an empty route table: the modem interface", "",
         "lo0: flags=8049<UP> mtu 16384\nppp0: flags=8051<UP,POINTOPOINT> mtu 1500\n", "", "ppp0",
         nullptr, 0, 0},
        {"an empty route table and no modem", "",
         "lo0: flags=8049<UP> mtu 16384\nen0: flags=8863<UP> mtu 1500\n", "", "", nullptr, 1, 0},
        {"the IPv4 address after IPv6 lines", kBsdRoutes, "",
         "en0: flags=8863<UP> mtu 1500\n\tinet6 fe80::1%en0 prefixlen 64 scopeid 0x4\n"
         "\tinet 192.168.1.34 netmask 0xffffff00 broadcast 192.168.1.255\n",
         "en0", "192.168.1.34", 0, 0},
        {"Linux's ifconfig",
         "default            10.0.0.1           UGSc         0        0    eth0\n", "",
         "eth0: flags=4163<UP>  mtu 1500\n        inet 10.1.2.3  netmask 255.255.255.0\n", "eth0",
         "10.1.2.3", 0, 0},
        {"an interface without IPv4", kBsdRoutes, "",
         "en0: flags=8863<UP> mtu 1500\n\tinet6 fe80::1%en0 prefixlen 64\n", "en0", "", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        noNetwork_ = 0;
        log_.clear();
        fakes_.setFile("routes", c.routes);
        fakes_.setFile("ifconfig-all", c.allInterfaces);
        fakes_.setFile("ifconfig-" + c.interfaceName, c.interfaceText);
        IpfwRule rule(fakes_.programs());
        EXPECT_EQ(rule.interface(), c.interfaceName);
        if (c.address != nullptr) {
            EXPECT_EQ(rule.ipAdr(), c.address);
        }
        EXPECT_EQ(noNetwork_.load(), c.noNetwork);
        EXPECT_EQ(log_.errorLines().size(), c.errors);
    }
}

TEST_F(IpfwRuleTest, AFailedSearchIsRetriedASuccessfulOneNever) {
    fakes_.setFile("routes", "Routing tables\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "");
    fakes_.setFile("routes", kBsdRoutes);
    EXPECT_EQ(rule.interface(), "en0");
    fakes_.setFile("routes", "default 192.168.9.1 UGSc 0 0 en9\n");
    EXPECT_EQ(rule.interface(), "en0");
    EXPECT_EQ(routeTableRuns(), 2U);
    EXPECT_EQ(noNetwork_.load(), 1);
}

TEST_F(IpfwRuleTest, TwoThreadsRacingTheLazySearchRunItOnce) {
    fakes_.setFile("routes", kBsdRoutes);
    fakes_.setFile("ifconfig-en0",
                   "en0: flags=8863<UP> mtu 1500\n\tinet 192.168.1.34 netmask 0xffffff00\n");
    IpfwRule rule(fakes_.programs());
    std::string first;
    std::string second;
    std::thread reader([&] { first = rule.ipAdr(); });
    second = rule.ipAdr();
    const std::string name = rule.interface();
    reader.join();
    EXPECT_EQ(first, "192.168.1.34");
    EXPECT_EQ(second, "192.168.1.34");
    EXPECT_EQ(name, "en0");
    EXPECT_EQ(routeTableRuns(), 1U);
}

// Without a log capture, so that the message reaches standard error.
TEST(IpfwRuleDeathTest, AFailedRuleListingOrRouteTableEndsTheApplication) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakePrograms fakes;
    IpfwRule rule(fakes.programs());
    FakePrograms::writeScript(fakes.folder() / "netstat", "exit 1\n");
    EXPECT_EXIT(rule.interface(), ::testing::ExitedWithCode(1),
                "Quellbox Error : execThisCommand failed !");
    FakePrograms::writeScript(fakes.folder() / "ipfw", "exit 3\n");
    EXPECT_EXIT({ IpfwRule listing(fakes.programs()); }, ::testing::ExitedWithCode(1),
                "Quellbox Error : execThisCommand failed !");
}

}  // namespace
}  // namespace quellbox
