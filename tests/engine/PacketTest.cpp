#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

TEST(Packet, NewPacketHasTheDefaultLabelsAndAnEmptyAddress) {
    Packet packet;
    EXPECT_EQ(packet.type(), "DATA");
    EXPECT_EQ(packet.sourceType(), "Server");
    EXPECT_EQ(packet.packetDestination(), "NoName");
    EXPECT_EQ(packet.priority(), 5);
    EXPECT_EQ(packet.getPacketSize(), 0);
    EXPECT_EQ(*packet.getAddressSize(), 16u);
    const sockaddr_in zero{};
    EXPECT_EQ(std::memcmp(packet.getAddress(), &zero, sizeof zero), 0);
}

TEST(Packet, PriorityRangeRule) {
    SystemLogCapture log;
    Packet packet;
    packet.setPriority(0);
    EXPECT_EQ(packet.priority(), 0);
    packet.setPriority(10);
    EXPECT_EQ(packet.priority(), 10);
    EXPECT_TRUE(log.lines().empty());

    packet.setPriority(11);
    EXPECT_EQ(packet.priority(), 5);
    EXPECT_EQ(log.count(kOutOfRange), 1);

    packet.setPriority(3);
    packet.setPriority(-1);
    EXPECT_EQ(packet.priority(), 5);
    EXPECT_EQ(log.count(kOutOfRange), 2);

    packet.setPriority(INT_MIN);
    EXPECT_EQ(packet.priority(), 5);
    EXPECT_EQ(log.count(kOutOfRange), 3);
}

TEST(Packet, LabelsAreReplaced) {
    Packet packet;
    packet.setType("ACK");
    packet.setSourceType("Client");
    packet.setPacketDestination("A screen name longer than a short string");
    EXPECT_EQ(packet.type(), "ACK");
    EXPECT_EQ(packet.sourceType(), "Client");
    EXPECT_EQ(packet.packetDestination(), "A screen name longer than a short string");
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

// Reads datagrams into packets the way the reading thread does (one reusable buffer, the
// address filled in place) and writes them back to the address the read returned: the peer
// must receive exactly the bytes it sent.
TEST(Packet, ServesTheReadAndTheWriteBackByteForByte) {
    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    const int reader = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    ASSERT_GE(reader, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(reader, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    sockaddr_in readerAddress{};
    socklen_t length = sizeof readerAddress;
    ASSERT_EQ(getsockname(reader, reinterpret_cast<sockaddr*>(&readerAddress), &length), 0);
    sockaddr_in peerAddress{};
    length = sizeof peerAddress;
    ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr*>(&peerAddress), &length), 0);

    std::vector<uint8_t> buffer(Packet::maximumSize);
    for (const size_t size : {40u, 1500u, 9000u}) {
        std::vector<uint8_t> sent(size);
        for (size_t i = 0; i < size; ++i) {
            sent[i] = static_cast<uint8_t>(i * 7 + size);
        }
        ASSERT_EQ(sendto(peer, sent.data(), size, 0, reinterpret_cast<sockaddr*>(&readerAddress),
                         sizeof readerAddress),
                  static_cast<ssize_t>(size));

        auto packet = std::make_unique<Packet>();
        const ssize_t n =
            recvfrom(reader, buffer.data(), Packet::maximumSize, 0,
                     reinterpret_cast<sockaddr*>(packet->getAddress()), packet->getAddressSize());
        ASSERT_EQ(n, static_cast<ssize_t>(size));
        ASSERT_TRUE(packet->setPacketSize(static_cast<int32_t>(n)));
        std::memcpy(packet->rawPacket(), buffer.data(), static_cast<size_t>(n));
        EXPECT_EQ(*packet->getAddressSize(), sizeof(sockaddr_in));
        EXPECT_EQ(packet->getAddress()->sin_port, peerAddress.sin_port);

        ASSERT_EQ(sendto(reader, packet->rawPacket(), static_cast<size_t>(packet->getPacketSize()),
                         0, reinterpret_cast<const sockaddr*>(packet->getAddress()),
                         *packet->getAddressSize()),
                  static_cast<ssize_t>(size));
        std::vector<uint8_t> echoed(size + 1);
        ASSERT_EQ(recv(peer, echoed.data(), echoed.size(), 0), static_cast<ssize_t>(size));
        echoed.resize(size);
        EXPECT_EQ(echoed, sent);
    }
    close(peer);
    close(reader);
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

TEST(Packet, DescriptionNamesBufferDestinationAndPriority) {
    Packet packet;
    packet.setPacketSize(40);
    packet.setPacketDestination("Alice");
    packet.setPriority(7);
    EXPECT_THAT(packet.description(),
                ::testing::MatchesRegex(
                    "packet adress : 0x[0-9A-F]{8,} - Destination = Alice -  priority = 7\n"));
}

}  // namespace
}  // namespace quellbox
