#include <gtest/gtest.h>

#include "TestSettings.h"
#include "prioritymode/UserInfo.h"

namespace quellbox {
namespace {

TEST(UserInfo, AnUnknownClientAndTheWindowsOfANewRecord) {
    const auto before = std::chrono::system_clock::now();
    UserInfo unknown;
    EXPECT_EQ(unknown.priority(), 5);
    EXPECT_EQ(unknown.screenName(), "Unknown");
    EXPECT_EQ(unknown.login(), "Unknown Login");
    EXPECT_EQ(unknown.usedService(), "Service");
    EXPECT_EQ(unknown.firstPacketDate(), unknown.lastPacketDate());
    EXPECT_GE(unknown.firstPacketDate(), before);
    EXPECT_EQ(unknown.totalDownloadSize(), 0);
    EXPECT_EQ(unknown.instantaneousRateTotalPacketsSize(), 0);
    // The short window starts at creation, not at the given date.
    const auto old = testing::secondsAgo(3600);
    UserInfo info("Server", 7, "nick", "login", old);
    EXPECT_EQ(info.firstPacketDate(), old);
    EXPECT_EQ(info.lastPacketDate(), old);
    EXPECT_GE(info.lastInstantaneousRateDate(), before);
}

TEST(UserInfo, CountingPacketsAddsToBothWindowsAndWraps) {
    UserInfo info;
    info.setLastPacketSize(1500);
    info.setLastPacketSize(1500);
    EXPECT_EQ(info.totalDownloadSize(), 3000);
    EXPECT_EQ(info.instantaneousRateTotalPacketsSize(), 3000);
    EXPECT_EQ(info.valueForKey("lastPacketSize"), PlistValue(1500));
    info.setLastPacketSize(0);
    EXPECT_EQ(info.totalDownloadSize(), 3000);
    EXPECT_EQ(info.instantaneousRateTotalPacketsSize(), 3000);

    info.setTotalDownloadSize(2147483000);
    info.setLastPacketSize(1000);  // past the largest int32: taken modulo 2^32
    EXPECT_EQ(info.totalDownloadSize(), -2147483296);
}

}  // namespace
}  // namespace quellbox
