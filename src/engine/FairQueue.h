#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>

#include "engine/FlowKey.h"
#include "engine/Packet.h"
#include "engine/Queue.h"
#include "platform/AdaptiveMutex.h"

namespace quellbox {

// The final queue of the DATA path: the packets that may leave now. Clients (a packet's
// destination address) are served in turn by bytes, deficit round robin weighted by their
// packets' priority (priority p earns p + 1 quanta a turn), and within one client its flows
// in turn by equal quanta; each flow keeps its packets in arrival order. So two clients of
// the same priority that both have data waiting get equal shares of the upload whatever their
// number of connections, and one client's backlog never delays another's next packet by more
// than a turn. Like every queue of the engine it holds at most 200 packets and refuses more.
//
// With a delay bound set, a service that finds the oldest waiting packet older than the
// bound first drops the head packet of the longest flow of the client with the most bytes
// waiting, at most once per bound: the sender that fills the queue learns of it within one
// round trip, and the others keep their short queues.
//
// No blocking operations: the priority queue around it does the sleeping. Safe from any
// thread; the engine has one producer and one consumer.
class FairQueue {
public:
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;
    static constexpr std::int32_t capacity = Queue::capacity;
    // Bytes a client or a flow may send per turn: one full Ethernet frame.
    static constexpr std::int32_t kQuantum = 1514;

    // `clock` stamps arrivals and judges waits; it defaults to the steady clock.
    explicit FairQueue(ClockSource clock = Clock::now);
    ~FairQueue();
    FairQueue(const FairQueue&) = delete;
    FairQueue& operator=(const FairQueue&) = delete;

    // Appends the packet to its flow and answers true; never waits. A full queue logs "will
    // release this packet since this queue is full !" and destroys the packet; a closed one
    // destroys it silently; both answer false.
    bool enqueue(PacketPtr packet);
    // The next packet in turn, or nullptr if there is none or the queue is closed.
    PacketPtr tryDequeue();
    // Moves `source`'s oldest packets here, as many as there is room for, after the source's
    // chance drop of its newest packet (Queue::takeOldest). Nothing for a closed queue.
    void enqueueObjectsFromQueue(Queue& source, float withLossProb);

    // Zero or less: no bound (the default).
    void setDelayBound(Clock::duration bound);
    // Packets dropped by the delay bound since the queue was made.
    std::uint64_t droppedForDelay() const {
        return droppedForDelay_.load(std::memory_order_relaxed);
    }

    bool isEmpty() const { return size() == 0; }
    // The number of packets, as of the last change (no lock).
    std::int32_t size() const { return count_.load(std::memory_order_acquire); }
    // Later enqueues refuse and later dequeues answer nullptr. Irreversible.
    void close();
    // Destroys every packet held, closed or not.
    void releaseAll();

private:
    struct ClientLane;
    struct FlowLane {
        std::deque<PacketPtr> packets;
        ClientLane* client = nullptr;  // the lane of the flow's destination, found once
        std::int64_t bytes = 0;
        std::int32_t deficit = 0;
    };
    struct ClientLane {
        std::deque<FlowLane*> turn;  // flows with packets, in service order
        std::int64_t bytes = 0;
        std::int32_t deficit = 0;
    };

    // All private functions run with mutex_ held.
    void append(PacketPtr packet);
    // The flow of `client` whose head packet goes next; rotates flows as their deficit runs out.
    FlowLane& nextFlow(ClientLane& client);
    PacketPtr takeHead(ClientLane& client, FlowLane& flow);
    // The head packet of the next client in turn, or nullptr when empty.
    PacketPtr serveNext();
    // The drop the delay bound asks for, if the oldest packet waited longer than it.
    PacketPtr dropForDelay(Clock::time_point now);
    // Forgets idle lanes once there are many (a lane is kept while idle so that a flow that
    // empties and refills at high rates costs no allocation).
    void pruneIdleLanes();
    void publishCount();

    ClockSource clock_;
    mutable AdaptiveMutex mutex_;
    std::unordered_map<FlowKey, FlowLane, FlowKeyHash> flows_;
    std::unordered_map<std::uint32_t, ClientLane> clients_;
    std::deque<ClientLane*> turn_;  // clients with packets, in service order
    FlowKey lastKey_;               // the flow of the last packet appended, and its lane
    FlowLane* lastLane_ = nullptr;
    std::optional<Clock::time_point> lastDelayDrop_;
    std::int32_t held_ = 0;
    bool closed_ = false;
    std::atomic<std::int32_t> count_{0};
    std::atomic<Clock::rep> delayBound_{0};
    std::atomic<std::uint64_t> droppedForDelay_{0};
};

}  // namespace quellbox
