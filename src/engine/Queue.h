#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "engine/Packet.h"
#include "platform/ConditionLock.h"

namespace quellbox {

class RandomSource;

// The engine's bounded first-in first-out queue of packets, shared between threads.
// Producers append without ever waiting (a full queue refuses the packet and destroys it);
// a consumer's dequeue sleeps on the lock's condition until a packet is there. The queue owns
// the packets it holds: enqueuing hands a packet over, dequeuing hands it to the caller.
//
// Shutdown: close() makes every blocked and every later dequeue answer nullptr, so the
// engine can release its consumer threads before destroying the queue. Packets still held
// when the queue is destroyed are destroyed with it (and so released to the kernel).
// A queue must not be destroyed while a thread is still inside one of its operations.
class Queue {
public:
    static constexpr int32_t capacity = 200;

    // An empty queue with the next identifier; transfers with loss draw from `random`,
    // which must outlive the queue.
    explicit Queue(RandomSource& random);
    // As above, drawing from the process-wide RandomSource::shared().
    Queue();
    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // The queue's number: queues are numbered 0, 1, 2, ... in the order they are made.
    int32_t identifier() const { return identifier_; }

    // Appends the packet at the back and answers true; never waits. A full queue (200
    // packets) logs "will release this packet since this queue is full !" and destroys the
    // packet; a closed queue destroys it silently; both answer false.
    bool enqueue(PacketPtr packet);
    // Sleeps until the queue holds a packet, then removes and returns the front (oldest) one.
    // Answers nullptr once the queue is closed.
    PacketPtr dequeue();
    // Removes and returns the front packet without waiting; nullptr if there is none or the
    // queue is closed.
    PacketPtr tryDequeue();
    // Removes and returns the back (newest) packet; nullptr if the queue is empty.
    PacketPtr pop();
    // The front packet, still owned by the queue, or nullptr. The pointer stays valid only
    // while no other thread takes packets out of this queue (its single consumer may use it).
    const Packet* firstObject() const;
    bool isEmpty() const;
    int32_t size() const;

    // Moves the oldest packets of `source` to the back of this queue, as many as this queue
    // has room for (it may end full): if the source holds packets, one number is drawn from
    // this queue's random source and with probability `withLossProb` the source's newest packet
    // is dropped first ("LossProb = %f => drop now a packet"), unless it is the source's only
    // one; then the source's oldest packets
    // move, in order, and the rest stay at the source's front. Moving part of a bucket keeps a
    // nearly full queue above from holding every packet below back for ever. Both locks are
    // held from the draw to the move, so a producer that adds to either queue meanwhile cannot
    // overfill this one. Locks are taken in one fixed order (by the queues' addresses)
    // whichever queue is the destination, so transfers in opposite directions cannot deadlock.
    // Transferring a queue into itself, or to or from a closed queue, does nothing.
    void enqueueObjectsFromQueue(Queue& source, float withLossProb);

    // The source's side of the same transfer, for a destination that is no Queue and holds
    // its own lock meanwhile: under this queue's lock, the draw and chance drop (from this
    // queue's random source), then up to `room` of the oldest packets taken out and answered.
    // The dropped packet is handed to `dropped` for discardDropped() once the caller's locks
    // are released. A closed queue gives nothing.
    std::vector<PacketPtr> takeOldest(std::int32_t room, float withLossProb, PacketPtr& dropped);
    // Logs the chance drop and destroys the packet (its release may reach the kernel, so
    // never with a queue lock held). Does nothing for nullptr.
    static void discardDropped(PacketPtr dropped, float withLossProb);

    // Wakes every consumer blocked in dequeue (it answers nullptr), and makes later enqueues
    // refuse and later dequeues answer nullptr. Irreversible.
    void close();
    bool isClosed() const;

    // Packets this queue lost to the chance drop of a transfer since it was made.
    std::uint64_t droppedByChance() const {
        return droppedByChance_.load(std::memory_order_relaxed);
    }

private:
    // Condition values of the lock. conditionHasPackets also holds, with an empty list, once
    // the queue is closed, so that consumers pass the lock and learn of the closing.
    static constexpr int conditionHasPackets = 1;
    static constexpr int conditionEmpty = 2;

    // With the lock held and the queue not empty: one draw from `random`, and with probability
    // `withLossProb` the newest packet taken out and answered, unless it is the only one.
    PacketPtr dropNewestByChance(float withLossProb, RandomSource& random);

    // The condition that describes the list as it is now; called with the lock held.
    int currentCondition() const;
    // Publishes the length and releases the lock with the matching condition.
    void release();

    static std::atomic<uint32_t> counterIdentifier;

    int32_t identifier_;
    std::deque<PacketPtr> array_;  // guarded by lock_
    // array_'s length, written with lock_ held, so that size() needs no lock.
    std::atomic<int32_t> count_{0};
    void updateCount() {
        count_.store(static_cast<int32_t>(array_.size()), std::memory_order_release);
    }
    mutable ConditionLock lock_;
    bool closed_ = false;  // guarded by lock_
    std::atomic<std::uint64_t> droppedByChance_{0};
    RandomSource& random_;
};

}  // namespace quellbox
