#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "TestSettings.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/LocalPriorityMode.h"
#include "prioritymode/UserInfo.h"

namespace quellbox {
namespace {

constexpr std::uint32_t kClient = 0xC0000201U;  // 192.0.2.1

class LocalPriorityModeTest : public ::testing::Test {
protected:
    LocalPriorityModeTest() {
        local_.activate(true);
        mode_.ipTable()->linkThisUserInfo(client_, kClient);
    }

    testing::TestSettings settings_;
    IPMode mode_{settings_.prefs};
    LocalPriorityMode local_{mode_};
    // 40 KiB over the last 20 s: 2 KiB/s in both windows, the short one due for a restart.
    std::shared_ptr<UserInfo> client_ = [] {
        const auto first = std::chrono::system_clock::now() - std::chrono::seconds(20);
        auto client = std::make_shared<UserInfo>("Carracho", 5, "Erin", "erin", first);
        client->setLastInstantaneousRateDate(first);
        client->setLastPacketSize(40960);
        client->setLastPacketDate(first + std::chrono::seconds(20));
        return client;
    }();
};

TEST_F(LocalPriorityModeTest, SnapshotShowsTheRowsAndRestartsADueWindowOnce) {
    const ClientSnapshot first = local_.clientSnapshot();
    ASSERT_EQ(first.rows.size(), 1U);
    const ClientSnapshot::Row& row = first.rows[0];
    EXPECT_EQ(row.ip, kClient);
    EXPECT_EQ(row.address, "192.0.2.1");
    EXPECT_EQ(row.screenName, "Erin");
    EXPECT_EQ(row.login, "erin");
    EXPECT_EQ(row.service, "Carracho");
    EXPECT_EQ(row.priority, 5);
    EXPECT_DOUBLE_EQ(row.averageRate, 2.0);
    // The graph's sample comes before the restart, the column reads the window once.
    EXPECT_FLOAT_EQ(row.sampledRate, 2.0F);
    EXPECT_DOUBLE_EQ(row.instantRate, 2.0);

    const ClientSnapshot second = local_.clientSnapshot();
    ASSERT_EQ(second.rows.size(), 1U);
    EXPECT_DOUBLE_EQ(second.rows[0].instantRate, 0.0);
    EXPECT_FLOAT_EQ(second.rows[0].sampledRate, 0.0F);
    EXPECT_DOUBLE_EQ(second.rows[0].averageRate, 2.0);  // 20 s of 90: not restarted

    local_.activate(false);
    EXPECT_TRUE(local_.clientSnapshot().rows.empty());
}

TEST_F(LocalPriorityModeTest, ClientPriorityIsSetWithinZeroToTenForAListedClientOnly) {
    struct Case {
        std::uint32_t ip;
        std::int32_t priority;
        bool accepted;
    };
    const Case cases[] = {{kClient, 0, true},
                          {kClient, 10, true},
                          {kClient, 11, false},
                          {kClient, -1, false},
                          {kClient + 1, 7, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.ip << " " << c.priority);
        client_->setPriority(5);
        mode_.ipTable()->refreshAndReorder();
        EXPECT_EQ(local_.setClientPriority(c.ip, c.priority), c.accepted);
        const std::int32_t expected = c.accepted ? c.priority : 5;
        EXPECT_EQ(client_->priority(), expected);
        EXPECT_EQ(mode_.ipTable()->runningMaxPriority(), expected);
    }
}

}  // namespace
}  // namespace quellbox
