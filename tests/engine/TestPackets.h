#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/Packet.h"
#include "engine/PacketReleaser.h"

namespace quellbox::testing {

// Records every packet released unsent, by the tag its first four bytes carry.
class RecordingReleaser : public PacketReleaser {
public:
    void releaseUnsent(const Packet& packet) override;
    int count() const { return count_.load(); }
    std::vector<uint32_t> tags() const;

private:
    std::atomic<int> count_{0};
    mutable std::mutex mutex_;
    std::vector<uint32_t> tags_;  // guarded by mutex_
};

// A packet of `size` bytes (at least 4) whose first four bytes carry `tag`, with the given
// priority and releaser.
PacketPtr makePacket(uint32_t tag, PacketReleaser* releaser = nullptr, int32_t priority = 5,
                     int32_t size = 40);
uint32_t tagOf(const Packet& packet);
// Expects the tags 0 .. total - 1 each exactly once among the groups (served, released, ...).
void expectEachTagOnce(const std::vector<std::vector<uint32_t>>& groups, int total);

}  // namespace quellbox::testing
