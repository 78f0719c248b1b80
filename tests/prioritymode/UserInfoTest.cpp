#include <gtest/gtest.h>

#include "TestSettings.h"
#include "platform/SystemLog.h"
#include "prioritymode/UserInfo.h"

namespace quellbox {
namespace {

using testing::secondsAgo;

TEST(UserInfo, ShortInitialiserDefaults) {
    const auto before = std::chrono::system_clock::now();
    UserInfo info;
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(info.priority(), 5);
    EXPECT_EQ(info.screenName(), "Unknown");
    EXPECT_EQ(info.login(), "Unknown Login");
    EXPECT_EQ(info.usedService(), "Service");
    EXPECT_EQ(info.firstPacketDate(), info.lastPacketDate());
    EXPECT_GE(info.firstPacketDate(), before);
    EXPECT_LE(info.firstPacketDate(), after);
    EXPECT_EQ(info.totalDownloadSize(), 0);
    EXPECT_EQ(info.instantaneousRateTotalPacketsSize(), 0);
}

TEST(UserInfo, InstantaneousWindowStartsAtCreationNotAtTheGivenDate) {
    const auto old = secondsAgo(3600);
    const auto before = std::chrono::system_clock::now();
    UserInfo info("Server", 7, "nick", "login", old);
    EXPECT_EQ(info.firstPacketDate(), old);
    EXPECT_EQ(info.lastPacketDate(), old);
    EXPECT_GE(info.lastInstantaneousRateDate(), before);
    EXPECT_EQ(info.priority(), 7);
    EXPECT_EQ(info.usedService(), "Server");
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

TEST(UserInfo, PriorityIsNotRangeChecked) {
    UserInfo info;
    info.setPriority(42);
    EXPECT_EQ(info.priority(), 42);
}

TEST(UserInfo, FieldsReadByName) {
    const auto date = secondsAgo(10);
    UserInfo info("Server", 3, "nick", "login", date);
    EXPECT_EQ(info.valueForKey("usedService"), PlistValue("Server"));
    EXPECT_EQ(info.valueForKey("screenName"), PlistValue("nick"));
    EXPECT_EQ(info.valueForKey("login"), PlistValue("login"));
    EXPECT_EQ(info.valueForKey("priority"), PlistValue(3));
    EXPECT_EQ(info.valueForKey("firstPacketDate"), PlistValue(date));
    EXPECT_EQ(info.valueForKey("totalDownloadSize"), PlistValue(0));
    EXPECT_FALSE(info.valueForKey("userInfoLock").has_value());
    EXPECT_FALSE(info.valueForKey("nothing").has_value());
}

TEST(UserInfo, DisplayAllInfoWritesFiveLines) {
    SystemLogCapture capture;
    UserInfo info("Server", 9, "nick", "bob", secondsAgo(1));
    info.displayAllInfo();
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 5U);
    EXPECT_EQ(lines[0], "\t- priority : 9");
    EXPECT_EQ(lines[1], "\t- loginName : nick");
    EXPECT_EQ(lines[2], "\t- login : bob");
    EXPECT_EQ(lines[3].rfind("\t- firstPacketDate : ", 0), 0U);
    EXPECT_EQ(lines[4].rfind("\t- lastPacketDate : ", 0), 0U);
}

}  // namespace
}  // namespace quellbox
