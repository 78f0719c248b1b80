#include "EngineDoubles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quellbox::testing {

void ControlledSocket::holdSends() {
    std::lock_guard guard(holdMutex_);
    holding_ = true;
}

void ControlledSocket::releaseSends() {
    {
        std::lock_guard guard(holdMutex_);
        holding_ = false;
    }
    holdChanged_.notify_all();
}

bool ControlledSocket::waitForHeldSend(std::chrono::milliseconds timeout) {
    std::unique_lock guard(holdMutex_);
    return holdChanged_.wait_for(guard, timeout, [this] { return heldSenders_ > 0; });
}

int ControlledSocket::open() {
    if (failOpen) {
        errno = EACCES;
        return -1;
    }
    return inner_->open();
}

int ControlledSocket::bind(int port) {
    if (failBind) {
        errno = EADDRINUSE;
        return -1;
    }
    return inner_->bind(port);
}

ssize_t ControlledSocket::receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                                  socklen_t* tokenLength) {
    ++receiveCalls_;
    if (failReceives.load() > 0) {
        --failReceives;
        // What a careless reader would take for a packet: a 40-byte TCP header and a
        // valid-looking token.
        std::memset(buffer, 0, std::min<std::size_t>(capacity, 40));
        buffer[0] = 0x45;
        buffer[3] = 40;
        buffer[9] = 6;
        *token = makeToken(kDivertPort, 12345);
        *tokenLength = kTokenSize;
        errno = EIO;
        return -1;
    }
    return inner_->receive(buffer, capacity, token, tokenLength);
}

ssize_t ControlledSocket::send(const std::uint8_t* bytes, std::size_t length,
                               const sockaddr_in& token, socklen_t tokenLength) {
    {
        std::unique_lock guard(holdMutex_);
        if (holding_) {
            ++heldSenders_;
            holdChanged_.notify_all();
            holdChanged_.wait(guard, [this] { return !holding_; });
            --heldSenders_;
        }
    }
    if (failSends.load() > 0) {
        --failSends;
        errno = EIO;
        return -1;
    }
    return inner_->send(bytes, length, token, tokenLength);
}

int ControlledSocket::close() {
    ++closeCalls_;
    return inner_->close();
}

std::vector<RecordingListener::Call> RecordingListener::calls() const {
    std::lock_guard guard(mutex_);
    return calls_;
}

int RecordingListener::count(const std::string& what) const {
    std::lock_guard guard(mutex_);
    return countLocked(what);
}

int RecordingListener::countLocked(const std::string& what) const {
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const Call& call) { return call.what == what; }));
}

bool RecordingListener::waitFor(const std::string& what, int atLeast) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, std::chrono::seconds(10),
                             [&] { return countLocked(what) >= atLeast; });
}

void RecordingListener::add(Call call) {
    {
        std::lock_guard guard(mutex_);
        calls_.push_back(std::move(call));
    }
    changed_.notify_all();
}

}  // namespace quellbox::testing
