#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/FairQueue.h"
#include "engine/Packet.h"
#include "engine/Queue.h"

namespace quellbox {

class RandomSource;

// The queue of DATA packets between the reading thread and the data pacing thread. Packets
// whose priority reaches the running maximum (the highest priority among the active clients)
// go straight into the final queue; a packet `d` steps below it waits in bucket 10 - d and
// climbs one bucket each time a packet leaves the final queue, with a small chance of loss at
// every climb, so that lower priorities are held back in proportion to their distance. The
// final queue serves its clients and flows in turn (FairQueue); the buckets are first in,
// first out. A climb moves as many of a bucket's oldest packets as the queue above has room
// for, so a higher priority that keeps the final queue nearly full slows a lower one down
// but never stops it.
//
// One producer and one consumer in the engine, though every operation is safe from any
// thread. close() releases a consumer blocked in a dequeue at shutdown.
class priorityQueue {
public:
    static constexpr int bucketCount = 10;

    // Ten empty buckets (made in the order bucket 0 .. bucket 9, so their identifiers are
    // consecutive) and an empty final queue whose waits `clock` measures. Transfers draw from
    // `random`, which must outlive the queue.
    explicit priorityQueue(RandomSource& random,
                           FairQueue::ClockSource clock = FairQueue::Clock::now);
    // As above, drawing from RandomSource::shared().
    priorityQueue();
    ~priorityQueue();
    priorityQueue(const priorityQueue&) = delete;
    priorityQueue& operator=(const priorityQueue&) = delete;

    // Puts the packet into the final queue if its priority is at least the running maximum,
    // otherwise into bucket 10 - (maximum - priority); never waits. A running maximum outside
    // 0..10 counts as the nearest bound. Answers what that queue's enqueue answered (false:
    // the queue was full or closed and the packet is destroyed).
    bool enqueue(PacketPtr packet, int withRunningMaxPriority);

    // The next packet in priority order. If the final queue holds one, it is taken and then
    // every bucket climbs one step, top first (bucket 9 into the final queue, 8 into 9, ...,
    // 0 into 1), each move dropping the bucket's newest packet with probability withLossProb
    // and moving as many of its oldest packets as there is room for.
    // Otherwise the front packet of the highest non-empty bucket is served, nothing moving.
    // If everything is empty it sleeps until a packet enters any of the queues. Answers
    // nullptr once closed.
    PacketPtr dequeueWithPrioWithLossProb(float withLossProb);
    // The front packet of the final queue, without moving the buckets. Packets left in the
    // buckets (from a time when priority service was on) are served once the final queue is
    // empty; sleeps while everything is empty. Answers nullptr once closed.
    PacketPtr dequeue();

    // True if all eleven queues are empty.
    bool isEmpty() const;
    // Packets in all eleven queues: a sum of per-queue snapshots, each under its own lock.
    int32_t size() const;

    // Packets the buckets lost to the chance drops of their climbs, since the queue was made.
    std::uint64_t droppedByChance() const;
    // Packets the final queue dropped for the delay bound, since the queue was made.
    std::uint64_t droppedForDelay() const { return finalPacketQueue_->droppedForDelay(); }

    // The final queue's queueing-delay bound (FairQueue::setDelayBound).
    void setDelayBound(FairQueue::Clock::duration bound) {
        finalPacketQueue_->setDelayBound(bound);
    }

    // Closes all eleven queues: blocked and later dequeues answer nullptr.
    void close();
    // Destroys every packet the eleven queues hold, closed or not (each is released to its
    // reader). The engine calls it at shutdown, while its socket can still take the releases.
    void releaseAll();

    // Read access for the engine's gauges and for tests.
    const Queue& bucketList(int index) const { return *bucketList_.at(static_cast<size_t>(index)); }
    const FairQueue& finalPacketQueue() const { return *finalPacketQueue_; }

private:
    PacketPtr takeFromHighestBucket();
    // Sleeps until some queue holds a packet; false once closed.
    bool waitForAnyPacket();

    std::mutex availableMutex_;
    std::condition_variable available_;
    bool closed_ = false;  // guarded by availableMutex_
    // Some consumer sleeps on available_ and no arrival has signalled it yet; guarded by
    // availableMutex_.
    bool consumerAsleep_ = false;
    std::array<std::unique_ptr<Queue>, bucketCount> bucketList_;
    std::unique_ptr<FairQueue> finalPacketQueue_;
};

}  // namespace quellbox
