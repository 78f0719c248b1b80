#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include "FakePrograms.h"
#include "firewall/IPLayer.h"
#include "firewall/IpfwRule.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::FakePrograms;

// A manager over fake programs whose firewall holds only its default rule.
class DiscoveryTest : public ::testing::Test {
protected:
    DiscoveryTest() {
        observer_ = NotificationCenter::defaultCenter().addObserver(
            "noNetworkNotification", [this](const Notification& note) {
                EXPECT_EQ(note.object, nullptr);
                ++noNetwork_;
            });
    }
    ~DiscoveryTest() override { NotificationCenter::defaultCenter().removeObserver(observer_); }

    int routeTableRuns() const {
        std::istringstream runs(fakes_.file("runs"));
        int count = 0;
        for (std::string line; std::getline(runs, line);) {
            ++count;
        }
        return count;
    }

    FakePrograms fakes_;
    SystemLogCapture log_;
    std::atomic<int> noNetwork_{0};
    NotificationCenter::ObserverId observer_ = 0;
};

constexpr const char* kBsdRoutes =
    "Routing tables\n\nInternet:\n"
    "Destination        Gateway            Flags    Refs      Use  Netif Expire\n"
    "127                127.0.0.1          UCS         0        0    lo0\n"
    "default            192.168.1.1        UGSc        4       15    en0\n"
    "192.168.1          link#4             UCS         1        0    en0\n";

TEST_F(DiscoveryTest, TheDefaultRoutesInterfaceColumnIsTaken) {
    fakes_.setFile("routes", kBsdRoutes);
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "en0");
    EXPECT_EQ(noNetwork_.load(), 0);
}

TEST_F(DiscoveryTest, NoDefaultRouteMeansNoNetwork) {
    fakes_.setFile("routes", "Routing tables\n\nInternet:\n127 127.0.0.1 UCS 0 0 lo0\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "");
    EXPECT_EQ(noNetwork_.load(), 1);
    EXPECT_EQ(log_.count("No connection found !, please check you are connected to the network..."),
              1);
}

TEST_F(DiscoveryTest, AnEmptyRouteTableFallsBackToTheModemInterface) {
    fakes_.setFile("ifconfig-all",
                   "lo0: flags=8049<UP> mtu 16384\nppp0: flags=8051<UP,POINTOPOINT> mtu 1500\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "ppp0");
    EXPECT_EQ(log_.count("special case for PCI Modem (Bewan PCI st) detected"), 1);
    EXPECT_EQ(noNetwork_.load(), 0);
}

TEST_F(DiscoveryTest, AnEmptyRouteTableWithoutModemMeansNoNetwork) {
    fakes_.setFile("ifconfig-all", "lo0: flags=8049<UP> mtu 16384\nen0: flags=8863<UP> mtu 1500\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "");
    EXPECT_EQ(noNetwork_.load(), 1);
}

TEST_F(DiscoveryTest, TheIpv4AddressIsFoundAfterIpv6Lines) {
    fakes_.setFile("routes", kBsdRoutes);
    fakes_.setFile("ifconfig-en0",
                   "en0: flags=8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST> mtu 1500\n"
                   "\tinet6 fe80::20d:93ff:fe7a:1%en0 prefixlen 64 scopeid 0x4\n"
                   "\tinet6 2001:db8::1 prefixlen 64\n"
                   "\tinet 192.168.1.34 netmask 0xffffff00 broadcast 192.168.1.255\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.ipAdr(), "192.168.1.34");
}

TEST_F(DiscoveryTest, LinuxIfconfigOutputParses) {
    fakes_.setFile("routes",
                   "default            10.0.0.1           UGSc         0        0    eth0\n");
    fakes_.setFile("ifconfig-eth0",
                   "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
                   "        inet 10.1.2.3  netmask 255.255.255.0  broadcast 10.1.2.255\n"
                   "        inet6 fe80::1  prefixlen 64  scopeid 0x20<link>\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "eth0");
    EXPECT_EQ(rule.ipAdr(), "10.1.2.3");
}

TEST_F(DiscoveryTest, AnInterfaceWithoutIpv4HasNoAddress) {
    fakes_.setFile("routes", kBsdRoutes);
    fakes_.setFile("ifconfig-en0",
                   "en0: flags=8863<UP> mtu 1500\n\tinet6 fe80::1%en0 prefixlen 64\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.ipAdr(), "");
    ASSERT_EQ(log_.errorLines().size(), 1U);
    EXPECT_EQ(log_.errorLines()[0].rfind("Quellbox Error : getIpAdr(): ", 0), 0U);
}

TEST_F(DiscoveryTest, TheInterfaceIsSearchedOnceAfterSuccess) {
    fakes_.setFile("routes", kBsdRoutes);
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "en0");
    fakes_.setFile("routes", "default 192.168.9.1 UGSc 0 0 en9\n");
    EXPECT_EQ(rule.interface(), "en0");
    EXPECT_EQ(routeTableRuns(), 1);
}

TEST_F(DiscoveryTest, AFailedSearchIsRetriedWhenTheNetworkComesUp) {
    fakes_.setFile("routes", "Routing tables\n");
    IpfwRule rule(fakes_.programs());
    EXPECT_EQ(rule.interface(), "");
    fakes_.setFile("routes", kBsdRoutes);
    EXPECT_EQ(rule.interface(), "en0");
    EXPECT_EQ(routeTableRuns(), 2);
    EXPECT_EQ(noNetwork_.load(), 1);
}

TEST_F(DiscoveryTest, TwoThreadsRacingTheLazySearchRunItOnce) {
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
    EXPECT_EQ(routeTableRuns(), 1);
}

// Without a log capture, so that the message reaches standard error.
TEST(DiscoveryDeathTest, AFailingRouteTableProgramEndsTheApplication) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakePrograms fakes;
    IpfwRule rule(fakes.programs());
    FakePrograms::writeScript(fakes.folder() / "netstat", "exit 1\n");
    EXPECT_EXIT(rule.interface(), ::testing::ExitedWithCode(1),
                "Quellbox Error : execThisCommand failed !");
}

TEST(IPLayer, ListsTheLoopbackInterface) {
    const auto names = IPLayer::getInterfacesList();
    EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());
}

}  // namespace
}  // namespace quellbox
