#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellbox {

// Builds real IPv4/TCP packets (20-byte IP header, 20-byte TCP header, checksums filled in)
// for the simulated network's hosts and for tests.
struct TcpPacketBuilder {
    static constexpr std::uint8_t kFin = 0x01;
    static constexpr std::uint8_t kSyn = 0x02;
    static constexpr std::uint8_t kPsh = 0x08;
    static constexpr std::uint8_t kAck = 0x10;
    static constexpr std::size_t kHeadersSize = 40;

    std::uint32_t source = 0;  // IP number (a.b.c.d = a*2^24 + ...)
    std::uint16_t sourcePort = 0;
    std::uint32_t destination = 0;
    std::uint16_t destinationPort = 0;
    std::uint8_t flags = kAck;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0;
    std::uint16_t window = 65535;
    std::uint16_t identification = 0;

    // A packet of `totalLength` bytes (at least the 40 header bytes); the payload bytes are
    // `payloadSeed`, payloadSeed + 1, ... so that every packet's content can be checked.
    std::vector<std::uint8_t> build(std::size_t totalLength, std::uint8_t payloadSeed = 0) const;

    // "a.b.c.d" to an IP number; 0 for text that is not a dotted IPv4 address.
    static std::uint32_t address(const std::string& dotted);
};

}  // namespace quellbox
