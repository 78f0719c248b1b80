#include "TestPackets.h"

#include <gtest/gtest.h>

#include <cstring>

namespace quellbox::testing {

void RecordingReleaser::releaseUnsent(const Packet& packet) {
    std::lock_guard guard(mutex_);
    tags_.push_back(tagOf(packet));
    ++count_;
}

std::vector<uint32_t> RecordingReleaser::tags() const {
    std::lock_guard guard(mutex_);
    return tags_;
}

PacketPtr makePacket(uint32_t tag, PacketReleaser* releaser, int32_t priority, int32_t size) {
    auto packet = std::make_unique<Packet>();
    packet->setPacketSize(size);
    std::memcpy(packet->rawPacket(), &tag, sizeof tag);
    packet->setPriority(priority);
    packet->setReleaser(releaser);
    return packet;
}

uint32_t tagOf(const Packet& packet) {
    uint32_t tag = 0;
    std::memcpy(&tag, packet.rawPacket(), sizeof tag);
    return tag;
}

void expectEachTagOnce(const std::vector<std::vector<uint32_t>>& groups, int total) {
    std::vector<int> seen(static_cast<std::size_t>(total));
    for (const auto& group : groups) {
        for (const uint32_t tag : group) {
            ASSERT_LT(tag, seen.size());
            ++seen[tag];
        }
    }
    for (std::size_t tag = 0; tag < seen.size(); ++tag) {
        ASSERT_EQ(seen[tag], 1) << "packet " << tag;
    }
}

}  // namespace quellbox::testing
