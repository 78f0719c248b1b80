#include "engine/PacketHeader.h"

namespace quellbox {

namespace {
constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kTcpAcknowledgementOffset = 8;
constexpr std::size_t kTcpFlagsOffset = 13;
constexpr std::size_t kTcpDataOffset = 12;
static_assert(kTcpAcknowledgementOffset + 4 <= kTcpFlagsOffset,
              "the acknowledgement number must lie within the bytes the flags check covers");

std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

std::uint32_t read32(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | at[3];
}
}  // namespace

std::optional<PacketHeader> PacketHeader::parse(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length < kIpv4HeaderSize) {
        return std::nullopt;
    }
    const std::size_t ipHeaderLength = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
    if (ipHeaderLength < kIpv4HeaderSize || ipHeaderLength + kTcpFlagsOffset >= length) {
        return std::nullopt;
    }
    const std::uint8_t* tcp = bytes + ipHeaderLength;
    PacketHeader header;
    header.source = read32(bytes + 12);
    header.destination = read32(bytes + 16);
    header.sourcePort = read16(tcp);
    header.destinationPort = read16(tcp + 2);
    header.flags = tcp[kTcpFlagsOffset];
    header.acknowledgement = read32(tcp + kTcpAcknowledgementOffset);
    header.headerBytes = static_cast<std::int32_t>(ipHeaderLength + (tcp[kTcpDataOffset] >> 4) * 4);
    return header;
}

std::int32_t PacketHeader::wireBytes(std::int32_t length) const {
    const std::int32_t payloadPerSegment = kLargestSegmentSize - headerBytes;
    if (length <= kLargestSegmentSize || headerBytes >= length || payloadPerSegment <= 0) {
        return length;
    }
    const std::int32_t payload = length - headerBytes;
    const std::int32_t segments = (payload + payloadPerSegment - 1) / payloadPerSegment;
    return payload + segments * headerBytes;
}

}  // namespace quellbox
