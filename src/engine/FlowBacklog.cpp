#include "engine/FlowBacklog.h"

#include <utility>

namespace quellbox {

FlowBacklog::Ticket::Ticket(Ticket&& other) noexcept
    : backlog_(std::exchange(other.backlog_, nullptr)), slot_(other.slot_) {}

FlowBacklog::Ticket& FlowBacklog::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        release();
        backlog_ = std::exchange(other.backlog_, nullptr);
        slot_ = other.slot_;
    }
    return *this;
}

void FlowBacklog::Ticket::release() {
    if (backlog_ != nullptr) {
        // Release: the packet's last queue operation happens before a reader sees it gone.
        backlog_->counts_[slot_].fetch_sub(1, std::memory_order_release);
        backlog_ = nullptr;
    }
}

FlowBacklog::Ticket FlowBacklog::admit(const FlowKey& flow) {
    const std::size_t slot = slotOf(flow);
    counts_[slot].fetch_add(1, std::memory_order_relaxed);
    return Ticket(this, slot);
}

bool FlowBacklog::holdsData(const FlowKey& flow) const {
    return counts_[slotOf(flow)].load(std::memory_order_acquire) != 0;
}

}  // namespace quellbox
