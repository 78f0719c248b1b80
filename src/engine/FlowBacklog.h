#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/FlowKey.h"

namespace quellbox {

// How many DATA packets of each flow wait in the engine's queues, so that a data segment
// sorted with the acknowledgements (for its PSH flag) can tell whether it would overtake
// data of its own flow. Flows are counted in hashed slots: two flows that share a slot both
// look busy while either is, which only makes a segment wait with the DATA when it need not,
// never the other way round. Lock-free: the reading thread admits, any thread releases.
class FlowBacklog {
public:
    static constexpr std::size_t kSlots = 4096;

    // While a ticket lives, its flow counts one packet more. A packet carries its ticket, so
    // the count falls however the packet leaves: written back, refused, or dropped.
    class Ticket {
    public:
        Ticket() = default;
        ~Ticket() { release(); }
        Ticket(Ticket&& other) noexcept;
        Ticket& operator=(Ticket&& other) noexcept;
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        friend class FlowBacklog;
        Ticket(FlowBacklog* backlog, std::size_t slot) : backlog_(backlog), slot_(slot) {}
        void release();

        FlowBacklog* backlog_ = nullptr;
        std::size_t slot_ = 0;
    };

    // The backlog must outlive every ticket it hands out.
    Ticket admit(const FlowKey& flow);
    bool holdsData(const FlowKey& flow) const;

private:
    static std::size_t slotOf(const FlowKey& flow) { return FlowKeyHash{}(flow) % kSlots; }

    std::array<std::atomic<std::uint32_t>, kSlots> counts_{};
};

}  // namespace quellbox
