#include "firewall/SimDivertSocket.h"

#include <cerrno>
#include <cstring>

#include "firewall/SimKernel.h"

namespace quellbox {

SimDivertSocket::SimDivertSocket(SimKernel& kernel) : kernel_(kernel) {}

// This class's own close, named as such: no derived class is left to dispatch to.
SimDivertSocket::~SimDivertSocket() { SimDivertSocket::close(); }

int SimDivertSocket::open() {
    std::lock_guard guard(mutex_);
    if (state_ != State::Fresh) {
        errno = EBADF;
        return -1;
    }
    state_ = State::Open;
    return 0;
}

int SimDivertSocket::bind(int port) {
    {
        std::lock_guard guard(mutex_);
        if (state_ != State::Open) {
            errno = state_ == State::Bound ? EINVAL : EBADF;
            return -1;
        }
        if (port <= 0 || port > 65535) {
            errno = EINVAL;
            return -1;
        }
        ring_.resize(kernel_.queueCapacity());
        port_ = port;
        state_ = State::Bound;
    }
    // The kernel holds its lock while it enqueues into a socket (taking the socket's lock),
    // so the socket's lock must not be held while the kernel's is taken here.
    if (kernel_.attach(port, this) != 0) {
        const int reason = errno;
        std::lock_guard guard(mutex_);
        state_ = State::Open;
        errno = reason;
        return -1;
    }
    return 0;
}

bool SimDivertSocket::enqueue(const std::uint8_t* bytes, std::size_t length, std::uint64_t id) {
    bool wake = false;
    {
        std::lock_guard guard(mutex_);
        if (state_ != State::Bound || count_ == ring_.size()) {
            return false;
        }
        Slot& slot = ring_[(head_ + count_) % ring_.size()];
        if (slot.capacity < length) {
            slot.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(length);
            slot.capacity = length;
        }
        std::memcpy(slot.bytes.get(), bytes, length);
        slot.length = length;
        slot.id = id;
        // Readers sleep only on an empty ring: the first packet wakes them all, and the
        // packets that follow while they wake up need no signal of their own (signalling a
        // condition whose waiter is still waking costs more than the packet's whole copy).
        wake = count_++ == 0 && waiters_ > 0;
    }
    if (wake) {
        readable_.notify_all();  // outside the lock, so the woken reader does not block on it
    }
    return true;
}

ssize_t SimDivertSocket::receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                                 socklen_t* tokenLength) {
    if (buffer == nullptr || token == nullptr || tokenLength == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::unique_lock guard(mutex_);
    if (state_ != State::Bound) {
        errno = state_ == State::Closed ? EBADF : EINVAL;
        return -1;
    }
    ++waiters_;
    readable_.wait(guard, [this] { return count_ > 0 || state_ == State::Closed; });
    --waiters_;
    if (state_ == State::Closed) {
        errno = EBADF;
        return -1;
    }
    Slot& slot = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    if (slot.length > capacity) {
        // Never hand out a cut packet: let it pass unchanged instead.
        kernel_.countPassedOversize();
        guard.unlock();
        kernel_.wire().transmit(slot.bytes.get(), slot.length);
        errno = EMSGSIZE;
        return -1;
    }
    std::memcpy(buffer, slot.bytes.get(), slot.length);
    *token = makeToken(port_, slot.id);
    *tokenLength = kTokenSize;
    return static_cast<ssize_t>(slot.length);
}

ssize_t SimDivertSocket::send(const std::uint8_t* bytes, std::size_t length,
                              const sockaddr_in& token, socklen_t tokenLength) {
    if (closed_.load(std::memory_order_acquire)) {
        errno = EBADF;
        return -1;
    }
    if (bytes == nullptr || length == 0 || length > kMaxPacketSize ||
        tokenPacketId(token, tokenLength) == 0) {
        errno = EINVAL;
        return -1;
    }
    kernel_.wire().transmit(bytes, length);
    kernel_.countWrittenBack();
    return static_cast<ssize_t>(length);
}

int SimDivertSocket::drop(const sockaddr_in& token, socklen_t tokenLength) {
    if (closed_.load(std::memory_order_acquire)) {
        errno = EBADF;
        return -1;
    }
    if (tokenPacketId(token, tokenLength) == 0) {
        errno = EINVAL;
        return -1;
    }
    kernel_.countDropped();
    return 0;
}

int SimDivertSocket::waitReadable(std::chrono::microseconds timeout) {
    std::unique_lock guard(mutex_);
    if (state_ != State::Bound) {
        errno = state_ == State::Closed ? EBADF : EINVAL;
        return -1;
    }
    ++waiters_;
    readable_.wait_for(guard, timeout, [this] { return count_ > 0 || state_ == State::Closed; });
    --waiters_;
    if (state_ == State::Closed) {
        errno = EBADF;
        return -1;
    }
    return count_ > 0 ? 1 : 0;
}

int SimDivertSocket::close() {
    // Detach first, without our lock: afterwards the kernel never enqueues here again.
    kernel_.detach(this);
    std::lock_guard guard(mutex_);
    const State previous = state_;
    state_ = State::Closed;
    closed_.store(true, std::memory_order_release);
    if (previous == State::Closed || previous == State::Fresh) {
        errno = EBADF;
        return -1;
    }
    kernel_.countFlushed(count_);
    count_ = 0;
    readable_.notify_all();
    return 0;
}

}  // namespace quellbox
