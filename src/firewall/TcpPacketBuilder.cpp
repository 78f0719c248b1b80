#include "firewall/TcpPacketBuilder.h"

#include <arpa/inet.h>

#include <algorithm>

namespace quellbox {

namespace {

void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t* at, std::uint32_t value) {
    put16(at, static_cast<std::uint16_t>(value >> 16));
    put16(at + 2, static_cast<std::uint16_t>(value));
}

std::uint32_t sumWords(const std::uint8_t* bytes, std::size_t length, std::uint32_t sum) {
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>((bytes[i] << 8) | bytes[i + 1]);
    }
    if (length % 2 != 0) {
        sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
    }
    return sum;
}

std::uint16_t fold(std::uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::vector<std::uint8_t> TcpPacketBuilder::build(std::size_t totalLength,
                                                  std::uint8_t payloadSeed) const {
    totalLength = std::clamp<std::size_t>(totalLength, kHeadersSize, 65535);
    std::vector<std::uint8_t> packet(totalLength, 0);
    std::uint8_t* ip = packet.data();
    ip[0] = 0x45;  // version 4, five header words
    put16(ip + 2, static_cast<std::uint16_t>(totalLength));
    put16(ip + 4, identification);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;    // time to live
    ip[9] = 6;     // TCP
    put32(ip + 12, source);
    put32(ip + 16, destination);
    put16(ip + 10, fold(sumWords(ip, 20, 0)));

    std::uint8_t* tcp = ip + 20;
    put16(tcp, sourcePort);
    put16(tcp + 2, destinationPort);
    put32(tcp + 4, sequence);
    put32(tcp + 8, acknowledgement);
    tcp[12] = 0x50;  // five header words
    tcp[13] = flags;
    put16(tcp + 14, window);
    for (std::size_t i = kHeadersSize; i < totalLength; ++i) {
        packet[i] = static_cast<std::uint8_t>(payloadSeed + (i - kHeadersSize));
    }
    // The TCP checksum covers a pseudo-header of addresses, protocol and TCP length.
    const std::size_t tcpLength = totalLength - 20;
    std::uint32_t sum = sumWords(ip + 12, 8, 0);
    sum += 6 + static_cast<std::uint32_t>(tcpLength);
    put16(tcp + 16, fold(sumWords(tcp, tcpLength, sum)));
    return packet;
}

std::uint32_t TcpPacketBuilder::address(const std::string& dotted) {
    in_addr parsed{};
    if (inet_pton(AF_INET, dotted.c_str(), &parsed) != 1) {
        return 0;
    }
    return ntohl(parsed.s_addr);
}

}  // namespace quellbox
