#include <gtest/gtest.h>

#include <vector>

#include "engine/PacketHeader.h"
#include "firewall/TcpPacketBuilder.h"

namespace quellbox {
namespace {

std::vector<std::uint8_t> tcp(std::size_t length, std::uint8_t flags) {
    TcpPacketBuilder builder;
    builder.source = TcpPacketBuilder::address("192.0.2.1");
    builder.sourcePort = 6700;
    builder.destination = TcpPacketBuilder::address("10.20.30.40");
    builder.destinationPort = 50123;
    builder.flags = flags;
    builder.acknowledgement = 0xFEDCBA98;
    return builder.build(length);
}

TEST(PacketHeader, ReadsAddressesPortsAndFlags) {
    const auto bytes = tcp(100, TcpPacketBuilder::kAck | TcpPacketBuilder::kPsh);
    const auto header = PacketHeader::parse(bytes.data(), bytes.size());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->source, (192U << 24) | (2U << 8) | 1U);
    EXPECT_EQ(header->destination, (10U << 24) | (20U << 16) | (30U << 8) | 40U);
    EXPECT_EQ(header->sourcePort, 6700);
    EXPECT_EQ(header->destinationPort, 50123);
    EXPECT_EQ(header->flags, TcpPacketBuilder::kAck | TcpPacketBuilder::kPsh);
    EXPECT_EQ(header->acknowledgement, 0xFEDCBA98U);
    EXPECT_TRUE(header->hasAck());
}

TEST(PacketHeader, ChargesASuperPacketTheHeadersOfEverySegment) {
    struct Case {
        std::size_t length;
        std::uint8_t tcpWords;
        std::int32_t wire;
    };
    for (const Case& test : {Case{1500, 5, 1500}, Case{2960, 5, 3000}, Case{2961, 5, 3041},
                             Case{2948, 8, 3000}, Case{65535, 5, 67295}}) {
        SCOPED_TRACE(test.length);
        auto bytes = tcp(test.length, TcpPacketBuilder::kAck);
        bytes[20 + 12] = static_cast<std::uint8_t>(test.tcpWords << 4);
        const auto header = PacketHeader::parse(bytes.data(), bytes.size());
        ASSERT_TRUE(header);
        EXPECT_EQ(header->wireBytes(static_cast<std::int32_t>(test.length)), test.wire);
    }
}

TEST(PacketHeader, RefusesBytesThatDoNotHoldTheFields) {
    auto bytes = tcp(40, TcpPacketBuilder::kAck);
    EXPECT_FALSE(PacketHeader::parse(nullptr, 40));
    for (std::size_t length = 0; length <= 33; ++length) {
        EXPECT_FALSE(PacketHeader::parse(bytes.data(), length)) << length;
    }
    EXPECT_TRUE(PacketHeader::parse(bytes.data(), 34));
    // A header length below five words is no IPv4 header.
    bytes[0] = 0x44;
    EXPECT_FALSE(PacketHeader::parse(bytes.data(), bytes.size()));
    // A header length of 15 words puts the TCP flags at byte 73.
    auto longHeader = tcp(100, TcpPacketBuilder::kAck);
    longHeader[0] = 0x4F;
    EXPECT_FALSE(PacketHeader::parse(longHeader.data(), 73));
    EXPECT_TRUE(PacketHeader::parse(longHeader.data(), 74));
}

}  // namespace
}  // namespace quellbox
