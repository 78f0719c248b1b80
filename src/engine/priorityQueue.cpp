#include "engine/priorityQueue.h"

#include <algorithm>

#include "engine/RandomSource.h"

namespace quellbox {

priorityQueue::priorityQueue(RandomSource& random) {
    for (auto& bucket : bucketList_) {
        bucket = std::make_unique<Queue>(random);
    }
    finalPacketQueue_ = std::make_unique<Queue>(random);
}

priorityQueue::priorityQueue() : priorityQueue(RandomSource::shared()) {}

priorityQueue::~priorityQueue() = default;

bool priorityQueue::enqueue(PacketPtr packet, int withRunningMaxPriority) {
    if (packet == nullptr) {
        return false;
    }
    // The maximum comes from the client tables; clamping keeps an out-of-range value from
    // naming a bucket that does not exist.
    const int maximum = std::clamp(withRunningMaxPriority, static_cast<int>(Packet::PRIORITY_MIN),
                                   static_cast<int>(Packet::PRIORITY_MAX));
    const int priority = packet->priority();
    if (priority >= maximum) {
        return finalPacketQueue_->enqueue(std::move(packet));
    }
    const int bucket = bucketCount - (maximum - priority);
    return bucketList_[static_cast<size_t>(bucket)]->enqueue(std::move(packet));
}

PacketPtr priorityQueue::dequeueWithPrioWithLossProb(float withLossProb) {
    if (PacketPtr served = finalPacketQueue_->tryDequeue()) {
        finalPacketQueue_->enqueueObjectsFromQueue(*bucketList_[bucketCount - 1], withLossProb);
        for (int index = bucketCount - 1; index >= 1; --index) {
            bucketList_[static_cast<size_t>(index)]->enqueueObjectsFromQueue(
                *bucketList_[static_cast<size_t>(index - 1)], withLossProb);
        }
        return served;
    }
    for (int index = bucketCount - 1; index >= 0; --index) {
        if (PacketPtr waiting = bucketList_[static_cast<size_t>(index)]->tryDequeue()) {
            return waiting;
        }
    }
    return finalPacketQueue_->dequeue();
}

PacketPtr priorityQueue::dequeue() {
    return finalPacketQueue_->dequeue();
}

bool priorityQueue::isEmpty() const {
    return size() == 0;
}

int32_t priorityQueue::size() const {
    int32_t total = finalPacketQueue_->size();
    for (const auto& bucket : bucketList_) {
        total += bucket->size();
    }
    return total;
}

void priorityQueue::close() {
    finalPacketQueue_->close();
    for (auto& bucket : bucketList_) {
        bucket->close();
    }
}

}  // namespace quellbox
