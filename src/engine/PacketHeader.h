#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/FlowKey.h"

namespace quellbox {

// The few IPv4 and TCP header fields the engine reads from a diverted packet, and the sorting
// rule built on them.
struct PacketHeader {
    static constexpr std::int32_t kLargestAckSize = 69;  // up to this length a packet is ACK-class
    static constexpr std::uint8_t kFin = 0x01;
    static constexpr std::uint8_t kSyn = 0x02;
    static constexpr std::uint8_t kRst = 0x04;
    static constexpr std::uint8_t kPsh = 0x08;
    static constexpr std::uint8_t kAck = 0x10;

    std::uint32_t source = 0;       // IP number: a.b.c.d is a*2^24 + b*2^16 + c*2^8 + d
    std::uint32_t destination = 0;  // IP number, as the source
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint8_t flags = 0;
    // The acknowledgement number: the next byte the sender expects from its peer; it means
    // something only when the ACK flag is set.
    std::uint32_t acknowledgement = 0;
    // The IPv4 and TCP headers together (both header-length fields), in bytes.
    std::int32_t headerBytes = 0;

    // The fields of `length` bytes; nothing when the bytes do not hold them (shorter than an
    // IPv4 header, a header length below 5 words, or a TCP header whose flags lie past the end),
    // so that no field is ever read from beyond the packet.
    static std::optional<PacketHeader> parse(const std::uint8_t* bytes, std::size_t length);

    bool hasAck() const { return (flags & kAck) != 0; }
    FlowKey flow() const { return FlowKey{source, destination, sourcePort, destinationPort}; }

    // The IP bytes the wire carries for this packet of `length` bytes. A packet longer than
    // an Ethernet frame holds can only be a segmentation-offload super-packet (the kernel
    // queues one whole and the device cuts it); it leaves as segments of at most
    // kLargestSegmentSize bytes, each with its own copy of these headers.
    std::int32_t wireBytes(std::int32_t length) const;
    static constexpr std::int32_t kLargestSegmentSize = 1500;

    // Whether a packet of `length` bytes carries payload beyond its headers.
    bool carriesData(std::int32_t length) const { return length > headerBytes; }

    // Acknowledgement class: at most 69 bytes long, or SYN or PSH set, or no payload at all.
    // The length alone would sort a bare acknowledgement with selective-acknowledgement
    // blocks (72 to 84 bytes with timestamps) as DATA: paced as upload, never held for the
    // download, and in Priority Mode open to the buckets' random drop, just while the
    // download it acknowledges recovers from a loss.
    bool isAckClass(std::int32_t length) const {
        return length <= kLargestAckSize || !carriesData(length) || (flags & (kSyn | kPsh)) != 0;
    }
};

}  // namespace quellbox
