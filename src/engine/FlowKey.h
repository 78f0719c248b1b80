#pragma once

#include <cstddef>
#include <cstdint>

namespace quellbox {

// One TCP flow as the engine sees it: both addresses and both ports of a packet, as IP
// numbers and port numbers. Packets of one flow keep their order through the engine's
// queues; the client of a flow is its destination (the remote side of an upload).
struct FlowKey {
    std::uint32_t source = 0;
    std::uint32_t destination = 0;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;

    bool operator==(const FlowKey&) const = default;
};

struct FlowKeyHash {
    std::size_t operator()(const FlowKey& key) const noexcept {
        // Multiplicative mixing: flows of one client differ only in a port, and must still
        // spread over all the slots of a table.
        std::uint64_t mixed = (static_cast<std::uint64_t>(key.source) << 32) | key.destination;
        mixed ^= (static_cast<std::uint64_t>(key.sourcePort) << 16 | key.destinationPort) *
                 0x9E3779B97F4A7C15ULL;
        mixed *= 0xBF58476D1CE4E5B9ULL;
        return static_cast<std::size_t>(mixed ^ (mixed >> 31));
    }
};

}  // namespace quellbox
