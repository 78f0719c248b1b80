#include "engine/FairQueue.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/SystemLog.h"

namespace quellbox {

namespace {
// Idle lanes are forgotten once there are more than this many lanes.
constexpr std::size_t kIdleLanesKept = 1024;

template <typename Lane>
void eraseFromTurn(std::deque<Lane*>& turn, Lane* lane) {
    const auto at = std::find(turn.begin(), turn.end(), lane);
    if (at != turn.end()) {
        turn.erase(at);
    }
}
}  // namespace

FairQueue::FairQueue(ClockSource clock) : clock_(std::move(clock)) {}

FairQueue::~FairQueue() = default;

void FairQueue::publishCount() { count_.store(held_, std::memory_order_release); }

void FairQueue::append(PacketPtr packet) {
    const FlowKey& key = packet->flow();
    // Packets of one flow mostly come in runs: the last lane saves the table's lookup.
    if (lastLane_ == nullptr || !(lastKey_ == key)) {
        lastLane_ = &flows_[key];
        lastKey_ = key;
    }
    FlowLane& flow = *lastLane_;
    if (flow.client == nullptr) {
        flow.client = &clients_[key.destination];
    }
    ClientLane& client = *flow.client;
    const std::int32_t size = packet->wireSize();
    if (client.turn.empty()) {
        turn_.push_back(&client);
    }
    if (flow.packets.empty()) {
        client.turn.push_back(&flow);
    }
    flow.packets.push_back(std::move(packet));
    flow.bytes += size;
    client.bytes += size;
    ++held_;
}

bool FairQueue::enqueue(PacketPtr packet) {
    if (packet == nullptr) {
        return false;
    }
    // Reading the clock costs as much as the rest of the enqueue in some virtual machines:
    // packets are stamped only while a bound is set, and unstamped ones never count as late.
    if (delayBound_.load(std::memory_order_relaxed) > 0) {
        packet->setQueuedAt(clock_());
    }
    std::unique_lock guard(mutex_);
    if (closed_) {
        guard.unlock();
        return false;  // destroyed here, outside the lock: its release may reach the kernel
    }
    if (held_ >= capacity) {
        guard.unlock();
        SystemLog::log("will release this packet since this queue is full !");
        return false;
    }
    append(std::move(packet));
    publishCount();
    return true;
}

FairQueue::FlowLane& FairQueue::nextFlow(ClientLane& client) {
    for (;;) {
        FlowLane* flow = client.turn.front();
        if (flow->deficit >= flow->packets.front()->wireSize()) {
            return *flow;
        }
        flow->deficit += kQuantum;
        client.turn.pop_front();
        client.turn.push_back(flow);
    }
}

PacketPtr FairQueue::takeHead(ClientLane& client, FlowLane& flow) {
    PacketPtr packet = std::move(flow.packets.front());
    flow.packets.pop_front();
    const std::int32_t size = packet->wireSize();
    flow.bytes -= size;
    client.bytes -= size;
    --held_;
    // A lane that runs empty leaves the turn and starts afresh when it has data again, so
    // that no one saves up credit while idle.
    if (flow.packets.empty()) {
        flow.deficit = 0;
        eraseFromTurn(client.turn, &flow);
        if (client.turn.empty()) {
            client.deficit = 0;
            eraseFromTurn(turn_, &client);
        }
        pruneIdleLanes();
    }
    return packet;
}

PacketPtr FairQueue::serveNext() {
    while (!turn_.empty()) {
        ClientLane* client = turn_.front();
        FlowLane& flow = nextFlow(*client);
        const std::int32_t size = flow.packets.front()->wireSize();
        if (client->deficit >= size) {
            client->deficit -= size;
            flow.deficit -= size;
            return takeHead(*client, flow);
        }
        // Weighted by priority (0..10 gives 1..11 quanta): a lower priority whose packets have
        // climbed into this queue is still served after a higher one, only not shut out.
        client->deficit += kQuantum * (flow.packets.front()->priority() + 1);
        turn_.pop_front();
        turn_.push_back(client);
    }
    return nullptr;
}

PacketPtr FairQueue::dropForDelay(Clock::time_point now) {
    const Clock::duration bound(delayBound_.load(std::memory_order_relaxed));
    if (bound <= Clock::duration::zero() || turn_.empty()) {
        return nullptr;
    }
    // Each flow is in arrival order, so the oldest packet is the oldest of the flows' heads
    // (a head queued while no bound was set carries no time and is passed over).
    Clock::time_point oldest = Clock::time_point::max();
    for (const ClientLane* client : turn_) {
        for (const FlowLane* flow : client->turn) {
            const Clock::time_point queued = flow->packets.front()->queuedAt();
            if (queued != Clock::time_point()) {
                oldest = std::min(oldest, queued);
            }
        }
    }
    // One drop per bound at most, as CoDel-family managers pace theirs: a sender halves its
    // window once per loss it sees, and more drops in one round trip only cost resending.
    if (oldest == Clock::time_point::max() || now - oldest <= bound ||
        (lastDelayDrop_ && now - *lastDelayDrop_ < bound)) {
        return nullptr;
    }
    const auto byBytes = [](const auto* left, const auto* right) {
        return left->bytes < right->bytes;
    };
    ClientLane* longest = *std::max_element(turn_.begin(), turn_.end(), byBytes);
    FlowLane* fattest = *std::max_element(longest->turn.begin(), longest->turn.end(), byBytes);
    droppedForDelay_.fetch_add(1, std::memory_order_relaxed);
    lastDelayDrop_ = now;
    return takeHead(*longest, *fattest);
}

PacketPtr FairQueue::tryDequeue() {
    const bool bounded = delayBound_.load(std::memory_order_relaxed) > 0;
    const Clock::time_point now = bounded ? clock_() : Clock::time_point();
    PacketPtr dropped;
    PacketPtr served;
    {
        std::lock_guard guard(mutex_);
        if (closed_) {
            return nullptr;
        }
        if (bounded) {
            dropped = dropForDelay(now);
        }
        served = serveNext();
        publishCount();
    }
    // The dropped packet is destroyed here, outside the lock.
    return served;
}

void FairQueue::enqueueObjectsFromQueue(Queue& source, float withLossProb) {
    if (source.isEmpty()) {
        return;  // nothing to draw for; the source's lock is not needed to see it
    }
    const bool bounded = delayBound_.load(std::memory_order_relaxed) > 0;
    const Clock::time_point now = bounded ? clock_() : Clock::time_point();
    PacketPtr dropped;
    {
        std::lock_guard guard(mutex_);
        if (closed_) {
            return;
        }
        // Taken under this queue's lock, so that the room cannot shrink before they land.
        std::vector<PacketPtr> moving = source.takeOldest(capacity - held_, withLossProb, dropped);
        for (PacketPtr& packet : moving) {
            packet->setQueuedAt(now);
            append(std::move(packet));
        }
        publishCount();
    }
    Queue::discardDropped(std::move(dropped), withLossProb);
}

void FairQueue::setDelayBound(Clock::duration bound) {
    delayBound_.store(std::max(bound, Clock::duration::zero()).count(), std::memory_order_relaxed);
}

void FairQueue::pruneIdleLanes() {
    if (flows_.size() <= kIdleLanesKept) {
        return;
    }
    std::erase_if(flows_, [](const auto& entry) { return entry.second.packets.empty(); });
    lastLane_ = nullptr;
    std::erase_if(clients_, [](const auto& entry) { return entry.second.turn.empty(); });
}

void FairQueue::close() {
    std::lock_guard guard(mutex_);
    closed_ = true;
}

void FairQueue::releaseAll() {
    std::vector<PacketPtr> released;
    {
        std::lock_guard guard(mutex_);
        for (auto& [key, flow] : flows_) {
            std::move(flow.packets.begin(), flow.packets.end(), std::back_inserter(released));
        }
        flows_.clear();
        lastLane_ = nullptr;
        clients_.clear();
        turn_.clear();
        held_ = 0;
        publishCount();
    }
    // Destroyed here, outside the lock: each release may reach the kernel.
}

}  // namespace quellbox
