#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "control/ControlMessage.h"

namespace quellbox::control {

class ControlChannel;

// Sends the engine's messages from a thread of its own, so that an engine thread that posts
// an event never waits on the window reading its socket. Answers, notices and settings are
// always kept; gauge and refresh events beyond kMaxQueued are dropped (the next tick brings
// fresh values) and counted.
class MessageOutbox {
public:
    static constexpr std::size_t kMaxQueued = 256;

    explicit MessageOutbox(ControlChannel& channel);
    // Sends what is queued, then stops.
    ~MessageOutbox();
    MessageOutbox(const MessageOutbox&) = delete;
    MessageOutbox& operator=(const MessageOutbox&) = delete;

    void post(Message message);
    std::uint64_t dropped() const;
    // False once a send failed (the window is gone).
    bool healthy() const;

private:
    void sendLoop();

    ControlChannel& channel_;
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Message> queue_;  // guarded by lock_
    bool stopping_ = false;      // guarded by lock_
    bool healthy_ = true;        // guarded by lock_
    std::uint64_t dropped_ = 0;  // guarded by lock_
    std::thread sender_;
};

}  // namespace quellbox::control
