#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <climits>
#include <cstring>
#include <vector>

#include "TestPackets.h"
#include "engine/Packet.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::makePacket;
using testing::RecordingReleaser;

const char* const kOutOfRange = "priority was set to PRIORITY_STD due to out of range value !";

// The reading thread hands the address and its length to the read as they are.
TEST(Packet, NewPacketHasTheStandardPriorityAndAnEmptyAddressOfFullLength) {
    Packet packet;
    EXPECT_EQ(packet.priority(), 5);
    EXPECT_EQ(packet.getPacketSize(), 0);
    EXPECT_EQ(*packet.getAddressSize(), 16u);
    const sockaddr_in zero{};
    EXPECT_EQ(std::memcmp(packet.getAddress(), &zero, sizeof zero), 0);
}

TEST(Packet, PriorityOutsideZeroToTenIsLoggedAndBecomesTheStandardOne) {
    struct Case {
        int set;
        int held;
    };
    for (const Case& test :
         {Case{0, 0}, Case{10, 10}, Case{11, 5}, Case{-1, 5}, Case{INT_MIN, 5}}) {
        SystemLogCapture log;
        Packet packet;
        packet.setPriority(3);
        packet.setPriority(test.set);
        EXPECT_EQ(packet.priority(), test.held) << test.set;
        EXPECT_EQ(log.count(kOutOfRange), test.held == test.set ? 0 : 1) << test.set;
        EXPECT_EQ(log.lines().size(), test.held == test.set ? 0U : 1U) << test.set;
    }
}

TEST(Packet, SizeHoldsUpToTheLargestIpv4PacketAndRefusesOthers) {
    Packet packet;
    ASSERT_TRUE(packet.setPacketSize(65535));
    EXPECT_EQ(packet.getPacketSize(), 65535);
    std::memset(packet.rawPacket(), 0xAB, 65535);
    EXPECT_EQ(packet.rawPacket()[65534], 0xAB);

    EXPECT_FALSE(packet.setPacketSize(65536));
    EXPECT_FALSE(packet.setPacketSize(-1));
    EXPECT_EQ(packet.getPacketSize(), 65535);
    EXPECT_EQ(packet.rawPacket()[0], 0xAB);

    EXPECT_TRUE(packet.setPacketSize(0));
    EXPECT_EQ(packet.getPacketSize(), 0);
}

TEST(Packet, ResizingKeepsTheLeadingBytesAndZeroesNewOnes) {
    Packet packet;
    ASSERT_TRUE(packet.setPacketSize(4));
    const uint8_t head[4] = {1, 2, 3, 4};
    std::memcpy(packet.rawPacket(), head, 4);
    ASSERT_TRUE(packet.setPacketSize(8));
    EXPECT_THAT(std::vector<uint8_t>(packet.rawPacket(), packet.rawPacket() + 8),
                ::testing::ElementsAre(1, 2, 3, 4, 0, 0, 0, 0));
    ASSERT_TRUE(packet.setPacketSize(2));
    EXPECT_THAT(std::vector<uint8_t>(packet.rawPacket(), packet.rawPacket() + 2),
                ::testing::ElementsAre(1, 2));
}

TEST(Packet, DestroyingAnUnsentPacketReleasesItOnce) {
    RecordingReleaser releaser;
    makePacket(7, &releaser).reset();
    EXPECT_THAT(releaser.tags(), ::testing::ElementsAre(7u));

    auto sent = makePacket(8, &releaser);
    sent->markSent();
    sent.reset();
    makePacket(9, nullptr).reset();
    EXPECT_EQ(releaser.count(), 1);
}

}  // namespace
}  // namespace quellbox
