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

// One housekeeping call over `table` by the last packet's date, with a 15 s limit.
Ptr cleanOut(GenericIPTable& table, GenericIPTable* store, bool force = true) {
    return table.cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, force, store,
                                                          15.0);
}

TEST(GenericIPTable, AddressConversions) {
    const std::pair<const char*, std::uint32_t> both[] = {
        {"10.0.0.1", 167772161U}, {"192.168.1.20", 3232235796U}, {"255.255.255.255", 0xFFFFFFFFU}};
    for (const auto& [text, number] : both) {
        EXPECT_EQ(GenericIPTable::convertStringToLong(text), number);
        EXPECT_EQ(GenericIPTable::convertLongToString(number), text);
    }
    // The forms inet_addr accepts besides dotted decimal.
    EXPECT_EQ(GenericIPTable::convertStringToLong("10.1"), 167772161U);
    EXPECT_EQ(GenericIPTable::convertStringToLong("0x0a.0.0.010"), 167772168U);
    // No address: all bits set, as 255.255.255.255.
    EXPECT_EQ(GenericIPTable::convertStringToLong("not an address"), 4294967295U);
}

TEST(GenericIPTable, LinkingRemovingAndSnapshots) {
    GenericIPTable table;
    const Ptr first = recordDated(secondsAgo(0));
    const Ptr second = recordDated(secondsAgo(0));
    table.linkThisUserInfo(first, 7U);
    table.linkThisUserInfo(second, "0.0.0.7");  // the same address: one entry, the second record
    EXPECT_EQ(table.userInfoForIPLong(7U), second);
    EXPECT_EQ(table.userInfoForIPString("0.0.0.7"), second);
    EXPECT_TRUE(table.stringAlreadyInIPTable("0.0.0.7"));
    EXPECT_FALSE(table.longAlreadyInIPTable(8U));
    EXPECT_EQ(table.userInfoForIPLong(8U), nullptr);
    table.linkThisUserInfo(recordDated(secondsAgo(0)), "10.0.0.1");
    table.linkThisUserInfo(recordDated(secondsAgo(0)), "10.0.0.2");
    EXPECT_EQ(table.size(), 3);
    const auto snapshot = table.ipArray();
    table.removeThisIPString("10.0.0.1");
    table.unLinkThisUserInfo(nullptr, 9U);  // absent
    EXPECT_EQ(snapshot.size(), 3U);         // taken before: unchanged
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{7U, 167772162U}));
    EXPECT_EQ(table.ipTableDict().size(), 2U);
    table.clear();
    EXPECT_EQ(table.size(), 0);
    EXPECT_TRUE(table.ipTableDict().empty());
}

TEST(GenericIPTable, HousekeepingTakesOutOneStaleRecordPerCallInListOrder) {
    GenericIPTable table;
    GenericIPTable idle;
    const Ptr staleA = recordDated(secondsAgo(20));
    const Ptr staleB = recordDated(secondsAgo(30));
    // Dates ahead count by their distance too.
    const Ptr farAhead = recordDated(std::chrono::system_clock::now() + std::chrono::seconds(200));
    table.linkThisUserInfo(recordDated(secondsAgo(14)), 1U);
    table.linkThisUserInfo(recordDated(std::chrono::system_clock::now() + std::chrono::seconds(10)),
                           2U);
    table.linkThisUserInfo(staleA, 3U);
    table.linkThisUserInfo(staleB, 4U);
    table.linkThisUserInfo(farAhead, 5U);

    EXPECT_EQ(cleanOut(table, &idle), staleA);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{1U, 2U, 4U, 5U}));
    EXPECT_EQ(idle.userInfoForIPLong(3U), staleA);
    EXPECT_EQ(cleanOut(table, &idle), staleB);
    EXPECT_EQ(cleanOut(table, nullptr), farAhead);
    EXPECT_EQ(cleanOut(table, &idle), nullptr);
    EXPECT_EQ(table.ipArray(), (std::vector<std::uint32_t>{1U, 2U}));
    EXPECT_EQ(idle.ipArray(), (std::vector<std::uint32_t>{3U, 4U}));
}

TEST(GenericIPTable, HousekeepingTestsTheChosenDate) {
    GenericIPTable table;
    const Ptr info = recordDated(secondsAgo(100));
    info->setLastPacketDate(secondsAgo(1));  // active again, but first seen 100 s ago
    table.linkThisUserInfo(info, 1U);
    EXPECT_EQ(cleanOut(table, nullptr, false), nullptr);
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
    EXPECT_EQ(cleanOut(table, &store, false), stale);
    EXPECT_EQ(table.size(), 0);
    EXPECT_EQ(store.userInfoForIPLong(1U), already);
    // With force, the storing table's record is replaced.
    table.linkThisUserInfo(stale, 1U);
    EXPECT_EQ(cleanOut(table, &store), stale);
    EXPECT_EQ(store.userInfoForIPLong(1U), stale);
    EXPECT_EQ(store.size(), 1);
    // Without force into a table that lacks the address, the record is stored.
    table.linkThisUserInfo(stale, 2U);
    cleanOut(table, &store, false);
    EXPECT_EQ(store.userInfoForIPLong(2U), stale);
}

}  // namespace
}  // namespace quellbox
