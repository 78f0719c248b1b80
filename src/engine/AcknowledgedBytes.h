#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "engine/FlowKey.h"
#include "engine/PacketHeader.h"

namespace quellbox {

// How many bytes the local side's acknowledgements newly acknowledge, per flow: the download
// of the capped services, read from the acknowledgement numbers of the packets they send.
// A flow's first packet only sets its baseline; after that each packet counts how far its
// acknowledgement number moved past the newest one seen, in 32-bit serial arithmetic so that
// the wrap of the sequence space costs nothing, and a duplicate or an older (reordered)
// acknowledgement counts 0. FIN and RST end a flow's entry.
//
// Memory is bounded: every kSweepInterval packets the entries not seen since the previous
// sweep go, and at most kMostFlows entries are kept (a flow beyond them is not counted until a
// sweep makes room). Not thread-safe: one thread (the engine's reading thread) counts.
class AcknowledgedBytes {
public:
    static constexpr std::size_t kMostFlows = 16384;
    static constexpr std::uint64_t kSweepInterval = 1U << 16;

    // The bytes `header`'s acknowledgement number acknowledges for the first time.
    std::uint32_t count(const PacketHeader& header);
    std::size_t flows() const { return flows_.size(); }

private:
    struct Entry {
        std::uint32_t newest = 0;  // the newest acknowledgement number seen
        std::uint64_t seen = 0;    // packet number of the flow's last packet
    };

    void sweep();

    std::unordered_map<FlowKey, Entry, FlowKeyHash> flows_;
    std::uint64_t packets_ = 0;
    std::uint64_t lastSweep_ = 0;
};

}  // namespace quellbox
