#include "engine/AcknowledgedBytes.h"

namespace quellbox {

std::uint32_t AcknowledgedBytes::count(const PacketHeader& header) {
    if (++packets_ - lastSweep_ >= kSweepInterval) {
        sweep();
    }
    const FlowKey flow = header.flow();
    if ((header.flags & (PacketHeader::kFin | PacketHeader::kRst)) != 0) {
        // A FIN's acknowledgement is still good; a reset's need not be.
        std::uint32_t counted = 0;
        if (const auto found = flows_.find(flow); found != flows_.end()) {
            if ((header.flags & PacketHeader::kFin) != 0 && header.hasAck()) {
                const auto advance =
                    static_cast<std::int32_t>(header.acknowledgement - found->second.newest);
                counted = advance > 0 ? static_cast<std::uint32_t>(advance) : 0;
            }
            flows_.erase(found);
        }
        return counted;
    }
    if (!header.hasAck()) {
        return 0;  // a SYN opening the flow: nothing acknowledged yet
    }
    const auto found = flows_.find(flow);
    if (found == flows_.end()) {
        if (flows_.size() < kMostFlows) {
            flows_.emplace(flow, Entry{header.acknowledgement, packets_});
        }
        return 0;
    }
    Entry& entry = found->second;
    entry.seen = packets_;
    // The distance read as a signed 32-bit number: forward across the wrap is positive,
    // a duplicate is 0 and an acknowledgement older than the newest is negative.
    const auto advance = static_cast<std::int32_t>(header.acknowledgement - entry.newest);
    if (advance <= 0) {
        return 0;
    }
    entry.newest = header.acknowledgement;
    return static_cast<std::uint32_t>(advance);
}

void AcknowledgedBytes::sweep() {
    std::erase_if(flows_, [this](const auto& item) { return item.second.seen <= lastSweep_; });
    lastSweep_ = packets_;
}

}  // namespace quellbox
