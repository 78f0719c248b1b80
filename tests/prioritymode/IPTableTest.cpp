#include <gtest/gtest.h>

#include "TestSettings.h"
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

// A window of `seconds` up to the last packet holding `bytes`: the cell shows KiB/s and
// restarts the window once it is as long as the column's limit (90 s and 15 s).
TEST(IPTable, RateCellsAndTheRestartOfTheirWindows) {
    const struct {
        const char* column;
        int seconds;
        std::int32_t bytes;
        float rate;
        bool restarted;
    } cases[] = {
        {"avRate", 0, 5000, 0.0F, false},  // equal dates: no rate
        {"avRate", 9, 921600, 100.0F, false},       {"avRate", 89, 89 * 1024, 1.0F, false},
        {"avRate", 90, 90 * 1024, 1.0F, true},      {"avRate", 120, 120 * 2048, 2.0F, true},
        {"instantRate", 0, 5000, 0.0F, false},      {"instantRate", 9, 921600, 100.0F, false},
        {"instantRate", 16, 16 * 4096, 4.0F, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.column << " " << c.seconds);
        IPTable table;
        const auto last = secondsAgo(0);
        const auto start = last - std::chrono::seconds(c.seconds);
        const Ptr info = std::make_shared<UserInfo>("Server", 5, "nick", "bob", start);
        info->setLastPacketDate(last);
        info->setLastInstantaneousRateDate(start);
        info->setTotalDownloadSize(c.bytes);
        info->setInstantaneousRateTotalPacketsSize(c.bytes);
        table.linkThisUserInfo(info, 1U);
        const bool average = std::string(c.column) == "avRate";
        const auto beforeRead = std::chrono::system_clock::now();
        EXPECT_FLOAT_EQ(rateCell(table, c.column, 0), c.rate);
        const auto left =
            average ? info->totalDownloadSize() : info->instantaneousRateTotalPacketsSize();
        EXPECT_EQ(left, c.restarted ? 0 : c.bytes);
        if (c.restarted && average) {
            EXPECT_EQ(info->firstPacketDate(), last);  // the new window starts at the last packet
            EXPECT_EQ(rateCell(table, c.column, 0), 0.0F);
        } else if (c.restarted) {
            // The new window starts at the time of the read, not at the last packet.
            EXPECT_GE(info->lastInstantaneousRateDate(), beforeRead);
            EXPECT_EQ(info->lastPacketDate(), last);
        }
    }
}

}  // namespace
}  // namespace quellbox
