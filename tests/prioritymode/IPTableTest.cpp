#include <gtest/gtest.h>

#include "TestSettings.h"
#include "platform/SystemLog.h"
#include "prioritymode/IPTable.h"

namespace quellbox {
namespace {

using testing::secondsAgo;
using Ptr = std::shared_ptr<UserInfo>;

Ptr client(std::int32_t priority, const std::string& name = "nick") {
    return std::make_shared<UserInfo>("Server", priority, name, "login", secondsAgo(0));
}

float rateCell(IPTable& table, const char* column, int row) {
    const auto value = table.objectValueForTableColumn(column, row);
    EXPECT_TRUE(value.has_value());
    EXPECT_EQ(value->type(), PlistValue::Type::Real);
    return value ? value->floatValue() : -1.0F;
}

TEST(IPTable, RunningMaximumFollowsTheRecords) {
    IPTable table;
    EXPECT_EQ(table.runningMaxPriority(), 0);
    EXPECT_EQ(table.numberOfRowsInTableView(), 0);

    const Ptr eight = client(8);
    table.linkThisUserInfo(client(3), 1U);
    table.linkThisUserInfo(eight, 2U);
    table.linkThisUserInfo(client(5), "0.0.0.3");
    EXPECT_EQ(table.runningMaxPriority(), 8);

    table.unLinkThisUserInfo(eight, 2U);
    EXPECT_EQ(table.runningMaxPriority(), 5);

    table.userInfoForIPLong(1U)->setPriority(10);
    EXPECT_EQ(table.runningMaxPriority(), 5);  // only after the refresh
    table.refreshAndReorder();
    EXPECT_EQ(table.runningMaxPriority(), 10);

    table.removeThisIPString("0.0.0.1");
    EXPECT_EQ(table.runningMaxPriority(), 5);
    table.clear();
    EXPECT_EQ(table.runningMaxPriority(), 0);

    table.linkThisUserInfo(client(-4), 9U);  // negative priorities never lower it below 0
    EXPECT_EQ(table.runningMaxPriority(), 0);
}

TEST(IPTable, OwnUploadsAreListedFirstNewestOnTop) {
    IPTable table;
    table.linkThisUserInfo(client(5), 1U);
    table.linkThisUserInfo(client(5), 2U);
    table.linkThisUserInfo(client(5, "ONE OF YOUR UPLOADS"), 3U);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{3U, 1U, 2U}));
    table.linkThisUserInfo(client(5, "ONE OF YOUR UPLOADS"), 4U);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{4U, 3U, 1U, 2U}));
    // Listed already: moved to the front, still once.
    table.linkThisUserInfo(client(5, "ONE OF YOUR UPLOADS"), 2U);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{2U, 4U, 3U, 1U}));
    // A plain client listed already keeps its place.
    table.linkThisUserInfo(client(5), 1U);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{2U, 4U, 3U, 1U}));
    EXPECT_EQ(table.objectValueForTableColumn("ipAdress", 0), PlistValue("0.0.0.2"));
}

TEST(IPTable, CellsByColumn) {
    IPTable table;
    const Ptr info = std::make_shared<UserInfo>("Server", 7, "nick", "bob", secondsAgo(0));
    table.linkThisUserInfo(info, "10.0.0.1");
    EXPECT_EQ(table.objectValueForTableColumn("ipAdress", 0), PlistValue("10.0.0.1"));
    EXPECT_EQ(table.objectValueForTableColumn("priority", 0), PlistValue(7));
    EXPECT_EQ(table.objectValueForTableColumn("screenName", 0), PlistValue("nick"));
    EXPECT_EQ(table.objectValueForTableColumn("login", 0), PlistValue("bob"));
    EXPECT_EQ(table.objectValueForTableColumn("usedService", 0), PlistValue("Server"));
    EXPECT_FALSE(table.objectValueForTableColumn("noSuchField", 0).has_value());
    table.setObjectValue(PlistValue(1), "priority", 0);  // cells are not editable
    EXPECT_EQ(info->priority(), 7);
}

TEST(IPTable, EqualDatesShowNoRate) {
    IPTable table;
    const auto date = secondsAgo(0);
    const Ptr info = std::make_shared<UserInfo>("Server", 5, "nick", "bob", date);
    info->setLastInstantaneousRateDate(date);
    info->setLastPacketSize(5000);
    table.linkThisUserInfo(info, 1U);
    EXPECT_EQ(rateCell(table, "avRate", 0), 0.0F);
    EXPECT_EQ(rateCell(table, "instantRate", 0), 0.0F);
}

TEST(IPTable, AverageRateOfTheLongWindowAndItsRestartAt90Seconds) {
    IPTable table;
    const auto last = secondsAgo(0);
    const Ptr info = std::make_shared<UserInfo>("Server", 5, "nick", "bob", last);
    table.linkThisUserInfo(info, 1U);

    // 921600 bytes over 9 s: 100 KB/s, and no restart below 90 s.
    info->setFirstPacketDate(last - std::chrono::seconds(9));
    info->setTotalDownloadSize(921600);
    EXPECT_FLOAT_EQ(rateCell(table, "avRate", 0), 100.0F);
    EXPECT_FLOAT_EQ(rateCell(table, "avRate", 0), 100.0F);
    EXPECT_EQ(info->totalDownloadSize(), 921600);

    // A 120 s window shows its own rate, then restarts at the last packet.
    info->setFirstPacketDate(last - std::chrono::seconds(120));
    info->setTotalDownloadSize(120 * 2048);
    EXPECT_FLOAT_EQ(rateCell(table, "avRate", 0), 2.0F);
    EXPECT_EQ(info->firstPacketDate(), last);
    EXPECT_EQ(info->totalDownloadSize(), 0);
    EXPECT_EQ(rateCell(table, "avRate", 0), 0.0F);

    // Exactly 90 s restarts too.
    info->setFirstPacketDate(last - std::chrono::seconds(90));
    info->setTotalDownloadSize(90 * 1024);
    EXPECT_FLOAT_EQ(rateCell(table, "avRate", 0), 1.0F);
    EXPECT_EQ(info->totalDownloadSize(), 0);
}

TEST(IPTable, InstantaneousRateAndItsRestartAt15Seconds) {
    IPTable table;
    const auto last = secondsAgo(0);
    const Ptr info = std::make_shared<UserInfo>("Server", 5, "nick", "bob", last);
    table.linkThisUserInfo(info, 1U);

    info->setLastInstantaneousRateDate(last - std::chrono::seconds(9));
    info->setInstantaneousRateTotalPacketsSize(921600);
    EXPECT_FLOAT_EQ(rateCell(table, "instantRate", 0), 100.0F);
    EXPECT_EQ(info->instantaneousRateTotalPacketsSize(), 921600);  // below 15 s: kept

    info->setLastInstantaneousRateDate(last - std::chrono::seconds(16));
    info->setInstantaneousRateTotalPacketsSize(16 * 4096);
    const auto beforeRead = std::chrono::system_clock::now();
    EXPECT_FLOAT_EQ(rateCell(table, "instantRate", 0), 4.0F);
    EXPECT_EQ(info->instantaneousRateTotalPacketsSize(), 0);
    // The new window starts at the time of the read, not at the last packet.
    EXPECT_GE(info->lastInstantaneousRateDate(), beforeRead);
    EXPECT_EQ(info->lastPacketDate(), last);
}

TEST(IPTable, PacketsCountedBetweenReadsStayInTheNextWindow) {
    IPTable table;
    const auto last = secondsAgo(0);
    const Ptr info = std::make_shared<UserInfo>("Server", 5, "nick", "bob", last);
    info->setFirstPacketDate(last - std::chrono::seconds(100));
    table.linkThisUserInfo(info, 1U);
    info->setLastPacketSize(1000);
    rateCell(table, "avRate", 0);  // restarts the window
    info->setLastPacketDate(last + std::chrono::seconds(1));
    info->setLastPacketSize(2048);
    EXPECT_FLOAT_EQ(rateCell(table, "avRate", 0), 2.0F);
}

TEST(IPTable, RowOutsideTheListGivesAnEmptyCellAndTwoLogEntries) {
    IPTable table;
    for (std::uint32_t ip = 1; ip <= 5; ++ip) {
        table.linkThisUserInfo(client(5), ip);
    }
    SystemLogCapture capture;
    EXPECT_FALSE(table.objectValueForTableColumn("ipAdress", 5).has_value());
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "ipArray count = 5, ETUDIER DE PRES CE NOMBRE !!!");
    EXPECT_EQ(lines[1].rfind("in -[IPTable tableView:objectValueForTableColumn:row:]", 0), 0U);
    EXPECT_FALSE(table.objectValueForTableColumn("priority", -1).has_value());
}

TEST(IPTable, DisplayAllInfoNamesTheAddress) {
    IPTable table;
    table.linkThisUserInfo(client(4), "10.0.0.1");
    SystemLogCapture capture;
    table.displayAllInfo(167772161U);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 6U);
    EXPECT_EQ(lines[0], "the user ip : 10.0.0.1 has this user info :");
    EXPECT_EQ(lines[1], "\t- priority : 4");
}

}  // namespace
}  // namespace quellbox
