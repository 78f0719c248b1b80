#include <gtest/gtest.h>

#include "TestSettings.h"
#include "prioritymode/GenericIPTable.h"

namespace quellbox {
namespace {

using testing::secondsAgo;
using Ptr = std::shared_ptr<UserInfo>;

Ptr recordDated(UserInfo::Date date) {
    return std::make_shared<UserInfo>("Server", 5, "nick", "login", date);
}

TEST(GenericIPTable, AddressConversions) {
    EXPECT_EQ(GenericIPTable::convertStringToLong("10.0.0.1"), 167772161U);
    EXPECT_EQ(GenericIPTable::convertLongToString(167772161U), "10.0.0.1");
    EXPECT_EQ(GenericIPTable::convertStringToLong("192.168.1.20"), 3232235796U);
    EXPECT_EQ(GenericIPTable::convertLongToString(3232235796U), "192.168.1.20");
    EXPECT_EQ(GenericIPTable::convertLongToString(0xFFFFFFFFU), "255.255.255.255");
    // The forms inet_addr accepts besides dotted decimal.
    EXPECT_EQ(GenericIPTable::convertStringToLong("10.1"), 167772161U);
    EXPECT_EQ(GenericIPTable::convertStringToLong("0x0a.0.0.010"), 167772168U);
    // No address: all bits set, as 255.255.255.255.
    EXPECT_EQ(GenericIPTable::convertStringToLong("not an address"), 4294967295U);
    EXPECT_EQ(GenericIPTable::convertStringToLong("255.255.255.255"), 4294967295U);
}

TEST(GenericIPTable, LinkingTwiceKeepsOneEntryAndTheSecondRecord) {
    GenericIPTable table;
    const Ptr first = recordDated(secondsAgo(0));
    const Ptr second = recordDated(secondsAgo(0));
    table.linkThisUserInfo(first, 7U);
    table.linkThisUserInfo(second, "0.0.0.7");
    EXPECT_EQ(table.ipArray(), std::vector<std::uint32_t>{7U});
    EXPECT_EQ(table.userInfoForIPLong(7U), second);
    EXPECT_EQ(table.userInfoForIPString("0.0.0.7"), second);
    EXPECT_TRUE(table.stringAlreadyInIPTable("0.0.0.7"));
    EXPECT_FALSE(table.longAlreadyInIPTable(8U));
    EXPECT_EQ(table.userInfoForIPLong(8U), nullptr);
}

TEST(GenericIPTable, SizeClearRemoveAndSnapshots) {
    GenericIPTable table;
    table.linkThisUserInfo(recordDated(secondsAgo(0)), "10.0.0.1");
    table.linkThisUserInfo(recordDated(secondsAgo(0)), "10.0.0.2");
    table.linkThisUserInfo(recordDated(secondsAgo(0)), "10.0.0.3");
    EXPECT_EQ(table.size(), 3);
    const auto snapshot = table.ipArray();
    table.removeThisIPString("10.0.0.2");
    table.unLinkThisUserInfo(nullptr, GenericIPTable::convertStringToLong("10.0.0.9"));  // absent
    EXPECT_EQ(snapshot.size(), 3U);  // taken before: unchanged
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{167772161U, 167772163U}));
    EXPECT_EQ(table.ipTableDict().size(), 2U);
    table.clear();
    EXPECT_EQ(table.size(), 0);
    EXPECT_TRUE(table.ipTableDict().empty());
}

TEST(GenericIPTable, HousekeepingLeavesRecentRecordsAlone) {
    GenericIPTable table;
    table.linkThisUserInfo(recordDated(secondsAgo(5)), 1U);
    table.linkThisUserInfo(recordDated(secondsAgo(10)), 2U);
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true,
                                                             nullptr, 15.0),
              nullptr);
    EXPECT_EQ(table.size(), 2);
}

TEST(GenericIPTable, HousekeepingTakesOutOneRecordPerCallInListOrder) {
    GenericIPTable table;
    GenericIPTable idle;
    const Ptr recent = recordDated(secondsAgo(1));
    const Ptr staleA = recordDated(secondsAgo(20));
    const Ptr staleB = recordDated(secondsAgo(30));
    table.linkThisUserInfo(recent, 1U);
    table.linkThisUserInfo(staleA, 2U);
    table.linkThisUserInfo(staleB, 3U);

    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true, &idle,
                                                             15.0),
              staleA);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{1U, 3U}));
    EXPECT_EQ(idle.userInfoForIPLong(2U), staleA);

    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true, &idle,
                                                             15.0),
              staleB);
    EXPECT_EQ(table.ipArray(), std::vector<std::uint32_t>{1U});
    EXPECT_EQ(idle.ipArray(), (std::vector<std::uint32_t>{2U, 3U}));
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true, &idle,
                                                             15.0),
              nullptr);
}

TEST(GenericIPTable, HousekeepingTestsTheChosenDate) {
    GenericIPTable table;
    const Ptr info = recordDated(secondsAgo(100));
    info->setLastPacketDate(secondsAgo(1));  // active again, but first seen 100 s ago
    table.linkThisUserInfo(info, 1U);
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, false,
                                                             nullptr, 60.0),
              nullptr);
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::firstPacketDate, false,
                                                             nullptr, 60.0),
              info);
    EXPECT_EQ(table.size(), 0);
}

TEST(GenericIPTable, StoringWithAndWithoutForce) {
    const Ptr stale = recordDated(secondsAgo(20));
    const Ptr already = recordDated(secondsAgo(0));

    GenericIPTable table;
    GenericIPTable store;
    table.linkThisUserInfo(stale, 1U);
    store.linkThisUserInfo(already, 1U);
    // Without force, a storing table that has the address is left as it is.
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, false,
                                                             &store, 15.0),
              stale);
    EXPECT_EQ(table.size(), 0);
    EXPECT_EQ(store.userInfoForIPLong(1U), already);

    // With force, the storing table's record is replaced.
    table.linkThisUserInfo(stale, 1U);
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true,
                                                             &store, 15.0),
              stale);
    EXPECT_EQ(store.userInfoForIPLong(1U), stale);
    EXPECT_EQ(store.size(), 1);

    // Without force into a table that lacks the address, the record is stored.
    GenericIPTable empty;
    table.linkThisUserInfo(stale, 2U);
    table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, false, &empty, 15.0);
    EXPECT_EQ(empty.userInfoForIPLong(2U), stale);
}

TEST(GenericIPTable, FutureDatesCountByTheirDistance) {
    GenericIPTable table;
    const Ptr ahead = recordDated(std::chrono::system_clock::now() + std::chrono::seconds(200));
    const Ptr nearAhead = recordDated(std::chrono::system_clock::now() + std::chrono::seconds(60));
    table.linkThisUserInfo(nearAhead, 1U);
    table.linkThisUserInfo(ahead, 2U);
    EXPECT_EQ(table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true,
                                                             nullptr, 120.0),
              ahead);
    EXPECT_EQ(table.ipArray(), std::vector<std::uint32_t>{1U});
}

}  // namespace
}  // namespace quellbox
