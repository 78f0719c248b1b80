#include "engine/Packet.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/PacketReleaser.h"
#include "platform/SystemLog.h"

namespace quellbox {

Packet::Packet() = default;

Packet::~Packet() {
    if (releaser_ != nullptr && !sent_) {
        releaser_->releaseUnsent(*this);
    }
}

bool Packet::setPacketSize(int32_t size) {
    if (size < 0 || size > maximumSize) {
        return false;
    }
    if (size == packetSize_) {
        return true;
    }
    std::unique_ptr<uint8_t[]> resized;
    if (size > 0) {
        resized = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size));
        const int32_t kept = std::min(size, packetSize_);
        if (kept > 0) {
            std::memcpy(resized.get(), packet_.get(), static_cast<size_t>(kept));
        }
        std::memset(resized.get() + kept, 0, static_cast<size_t>(size - kept));
    }
    packet_ = std::move(resized);
    packetSize_ = size;
    return true;
}

void Packet::setPriority(int32_t priority) {
    // Compared as unsigned so that negative values count as out of range too.
    if (static_cast<uint32_t>(priority) > static_cast<uint32_t>(PRIORITY_MAX)) {
        priority_ = PRIORITY_STD;
        SystemLog::log("priority was set to PRIORITY_STD due to out of range value !");
        return;
    }
    priority_ = priority;
}

std::string Packet::description() const {
    char head[64];
    std::snprintf(head, sizeof head, "packet adress : 0x%08" PRIXPTR " - Destination = ",
                  reinterpret_cast<uintptr_t>(packet_.get()));
    return head + packetDestination_ + " -  priority = " + std::to_string(priority_) + "\n";
}

}  // namespace quellbox
