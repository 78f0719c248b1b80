#include "engine/priorityQueue.h"

#include <algorithm>
#include <utility>

#include "engine/RandomSource.h"

namespace quellbox {

priorityQueue::priorityQueue(RandomSource& random, FairQueue::ClockSource clock) {
    for (auto& bucket : bucketList_) {
        bucket = std::make_unique<Queue>(random);
    }
    finalPacketQueue_ = std::make_unique<FairQueue>(std::move(clock));
}

priorityQueue::priorityQueue() : priorityQueue(RandomSource::shared()) {}

priorityQueue::~priorityQueue() = default;

std::uint64_t priorityQueue::droppedByChance() const {
    std::uint64_t dropped = 0;
    for (const auto& bucket : bucketList_) {
        dropped += bucket->droppedByChance();
    }
    return dropped;
}

bool priorityQueue::enqueue(PacketPtr packet, int withRunningMaxPriority) {
    if (packet == nullptr) {
        return false;
    }
    // The maximum comes from the client tables; clamping keeps an out-of-range value from
    // naming a bucket that does not exist.
    const int maximum = std::clamp(withRunningMaxPriority, static_cast<int>(Packet::PRIORITY_MIN),
                                   static_cast<int>(Packet::PRIORITY_MAX));
    const int priority = packet->priority();
    const bool accepted =
        priority >= maximum
            ? finalPacketQueue_->enqueue(std::move(packet))
            : bucketList_[static_cast<size_t>(bucketCount - (maximum - priority))]->enqueue(
                  std::move(packet));
    if (accepted) {
        // Taking the mutex orders this arrival before the consumer's emptiness test, so a
        // consumer about to sleep cannot miss it. Sleeping consumers are signalled once,
        // all of them (any that finds nothing sleeps again): signalling again while they
        // wake up would cost the reading thread more than the packet's whole sorting.
        bool wake = false;
        {
            std::lock_guard guard(availableMutex_);
            wake = std::exchange(consumerAsleep_, false);
        }
        if (wake) {
            available_.notify_all();
        }
    }
    return accepted;
}

PacketPtr priorityQueue::takeFromHighestBucket() {
    for (int index = bucketCount - 1; index >= 0; --index) {
        // An empty bucket is passed by its published length, without its lock: a packet that
        // enters it meanwhile makes the emptiness test before sleeping fail, so none is missed.
        Queue& bucket = *bucketList_[static_cast<size_t>(index)];
        if (bucket.isEmpty()) {
            continue;
        }
        if (PacketPtr waiting = bucket.tryDequeue()) {
            return waiting;
        }
    }
    return nullptr;
}

bool priorityQueue::waitForAnyPacket() {
    std::unique_lock guard(availableMutex_);
    while (!closed_ && isEmpty()) {
        consumerAsleep_ = true;
        available_.wait(guard);
    }
    consumerAsleep_ = false;
    return !closed_;
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
    if (PacketPtr waiting = takeFromHighestBucket()) {
        return waiting;
    }
    // Nothing to serve: sleep until a packet enters any queue (a bucket too, so that a
    // lower-priority client is not stalled while no one of higher priority sends), then
    // serve it by the rules above.
    return waitForAnyPacket() ? dequeueWithPrioWithLossProb(withLossProb) : nullptr;
}

PacketPtr priorityQueue::dequeue() {
    for (;;) {
        if (PacketPtr served = finalPacketQueue_->tryDequeue()) {
            return served;
        }
        // Packets left in the buckets when priority service stopped are drained too, so that
        // none stays held for ever.
        if (PacketPtr leftover = takeFromHighestBucket()) {
            return leftover;
        }
        if (!waitForAnyPacket()) {
            return nullptr;
        }
    }
}

bool priorityQueue::isEmpty() const { return size() == 0; }

int32_t priorityQueue::size() const {
    int32_t total = finalPacketQueue_->size();
    for (const auto& bucket : bucketList_) {
        total += bucket->size();
    }
    return total;
}

void priorityQueue::close() {
    {
        std::lock_guard guard(availableMutex_);
        closed_ = true;
    }
    available_.notify_all();
    finalPacketQueue_->close();
    for (auto& bucket : bucketList_) {
        bucket->close();
    }
}

void priorityQueue::releaseAll() {
    finalPacketQueue_->releaseAll();
    for (auto& bucket : bucketList_) {
        while (bucket->pop() != nullptr) {
        }
    }
}

}  // namespace quellbox
