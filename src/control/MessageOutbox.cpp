#include "control/MessageOutbox.h"

#include "control/ControlChannel.h"

namespace quellbox::control {

namespace {
bool mayBeDropped(const Message& message) {
    return std::holds_alternative<Gauge>(message) || std::holds_alternative<RefreshView>(message) ||
           std::holds_alternative<Traffic>(message);
}
}  // namespace

MessageOutbox::MessageOutbox(ControlChannel& channel)
    : channel_(channel), sender_([this] { sendLoop(); }) {}

MessageOutbox::~MessageOutbox() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    ready_.notify_all();
    sender_.join();
}

void MessageOutbox::post(Message message) {
    {
        std::lock_guard guard(lock_);
        if (!healthy_) {
            return;
        }
        if (mayBeDropped(message) && queue_.size() >= kMaxQueued) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(message));
    }
    ready_.notify_one();
}

std::uint64_t MessageOutbox::dropped() const {
    std::lock_guard guard(lock_);
    return dropped_;
}

bool MessageOutbox::healthy() const {
    std::lock_guard guard(lock_);
    return healthy_;
}

void MessageOutbox::sendLoop() {
    std::unique_lock guard(lock_);
    for (;;) {
        ready_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping, and everything is sent
        }
        Message next = std::move(queue_.front());
        queue_.pop_front();
        guard.unlock();
        const bool sent = channel_.send(next);
        guard.lock();
        if (!sent) {
            healthy_ = false;
            queue_.clear();
            if (stopping_) {
                return;
            }
        }
    }
}

}  // namespace quellbox::control
