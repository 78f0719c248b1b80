#include "engine/Queue.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>

#include "engine/RandomSource.h"
#include "platform/SystemLog.h"

namespace quellbox {

std::atomic<uint32_t> Queue::counterIdentifier{0};

Queue::Queue(RandomSource& random)
    : identifier_(static_cast<int32_t>(counterIdentifier.fetch_add(1))),
      lock_(conditionEmpty),
      random_(random) {}

Queue::Queue() : Queue(RandomSource::shared()) {}

Queue::~Queue() = default;

int Queue::currentCondition() const {
    return (closed_ || !array_.empty()) ? conditionHasPackets : conditionEmpty;
}

void Queue::release() {
    updateCount();
    lock_.unlockWithCondition(currentCondition());
}

bool Queue::enqueue(PacketPtr packet) {
    if (packet == nullptr) {
        return false;
    }
    lock_.lock();
    const bool closed = closed_;
    const bool accepted = !closed && array_.size() < static_cast<size_t>(capacity);
    if (accepted) {
        array_.push_back(std::move(packet));
    }
    release();
    if (!accepted && !closed) {
        SystemLog::log("will release this packet since this queue is full !");
    }
    // A refused packet is destroyed here, outside the lock: its release may reach the kernel.
    return accepted;
}

PacketPtr Queue::dequeue() {
    lock_.lockWhenCondition(conditionHasPackets);
    PacketPtr packet;
    if (!closed_ && !array_.empty()) {
        packet = std::move(array_.front());
        array_.pop_front();
    }
    release();
    return packet;
}

PacketPtr Queue::tryDequeue() {
    lock_.lock();
    PacketPtr packet;
    if (!closed_ && !array_.empty()) {
        packet = std::move(array_.front());
        array_.pop_front();
    }
    release();
    return packet;
}

PacketPtr Queue::pop() {
    lock_.lock();
    PacketPtr packet;
    if (!array_.empty()) {
        packet = std::move(array_.back());
        array_.pop_back();
    }
    release();
    return packet;
}

const Packet* Queue::firstObject() const {
    lock_.lock();
    const Packet* front = array_.empty() ? nullptr : array_.front().get();
    lock_.unlockWithCondition(currentCondition());
    return front;
}

bool Queue::isEmpty() const { return size() == 0; }

int32_t Queue::size() const {
    // The length as of the last change, which every change publishes with the lock held.
    return count_.load(std::memory_order_acquire);
}

PacketPtr Queue::dropNewestByChance(float withLossProb, RandomSource& random) {
    const float drawn = static_cast<float>(static_cast<float>(random.next()) /
                                           static_cast<double>(RandomSource::maximum));
    // A bucket's only packet is never the one dropped: a sender with one segment in flight
    // learns of a loss only by its retransmission timer, which doubles at every loss, and a
    // lower priority would stand still for seconds instead of being slowed down.
    if (drawn >= withLossProb || array_.size() < 2) {
        return nullptr;
    }
    PacketPtr dropped = std::move(array_.back());
    array_.pop_back();
    droppedByChance_.fetch_add(1, std::memory_order_relaxed);
    return dropped;
}

void Queue::discardDropped(PacketPtr dropped, float withLossProb) {
    if (dropped != nullptr) {
        SystemLog::logf("LossProb = %f => drop now a packet", static_cast<double>(withLossProb));
    }
}

void Queue::enqueueObjectsFromQueue(Queue& source, float withLossProb) {
    if (&source == this) {
        return;
    }
    // One global order (by address) for taking two queue locks.
    const bool thisFirst = std::less<const Queue*>()(this, &source);
    Queue& first = thisFirst ? *this : source;
    Queue& second = thisFirst ? source : *this;
    first.lock_.lock();
    second.lock_.lock();

    PacketPtr dropped;
    if (!closed_ && !source.closed_ && !source.array_.empty()) {
        dropped = source.dropNewestByChance(withLossProb, random_);
        const auto room =
            static_cast<std::ptrdiff_t>(capacity) - static_cast<std::ptrdiff_t>(array_.size());
        const auto moving = std::min(room, static_cast<std::ptrdiff_t>(source.array_.size()));
        if (moving > 0) {
            const auto end = source.array_.begin() + moving;
            array_.insert(array_.end(), std::make_move_iterator(source.array_.begin()),
                          std::make_move_iterator(end));
            source.array_.erase(source.array_.begin(), end);
        }
    }

    second.release();
    first.release();
    discardDropped(std::move(dropped), withLossProb);
}

std::vector<PacketPtr> Queue::takeOldest(std::int32_t room, float withLossProb,
                                         PacketPtr& dropped) {
    std::vector<PacketPtr> taken;
    lock_.lock();
    if (!closed_ && !array_.empty()) {
        dropped = dropNewestByChance(withLossProb, random_);
        const auto moving =
            std::min<std::size_t>(static_cast<std::size_t>(std::max(room, 0)), array_.size());
        taken.reserve(moving);
        for (std::size_t index = 0; index < moving; ++index) {
            taken.push_back(std::move(array_.front()));
            array_.pop_front();
        }
    }
    release();
    return taken;
}

void Queue::close() {
    lock_.lock();
    closed_ = true;
    lock_.unlockWithCondition(currentCondition());
}

bool Queue::isClosed() const {
    lock_.lock();
    const bool closed = closed_;
    lock_.unlockWithCondition(currentCondition());
    return closed;
}

}  // namespace quellbox
