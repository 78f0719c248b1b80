#include "firewall/BsdDivertSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace quellbox {

// This class's own close, named as such: no derived class is left to dispatch to.
BsdDivertSocket::~BsdDivertSocket() { BsdDivertSocket::close(); }

int BsdDivertSocket::open() {
    std::lock_guard guard(lifecycleMutex_);
    if (fd_ >= 0 || closed_.load()) {
        errno = EBADF;
        return -1;
    }
    fd_ = ::socket(PF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_DIVERT);
    if (fd_ < 0) {
        return -1;
    }
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int reason = errno;
        ::close(fd_);
        fd_ = -1;
        errno = reason;
        return -1;
    }
    open_.store(true);
    return 0;
}

int BsdDivertSocket::bind(int port) {
    std::lock_guard guard(lifecycleMutex_);
    if (fd_ < 0 || closed_.load()) {
        errno = EBADF;
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool BsdDivertSocket::enter() {
    users_.fetch_add(1);
    if (closed_.load() || !open_.load()) {
        leave();
        errno = EBADF;
        return false;
    }
    return true;
}

void BsdDivertSocket::leave() {
    if (users_.fetch_sub(1) == 1 && closed_.load()) {
        users_.notify_all();
    }
}

int BsdDivertSocket::pollReadable(int timeoutMilliseconds) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, timeoutMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return -1;
        }
        if (closed_.load() || (fds[1].revents & POLLIN) != 0) {
            errno = EBADF;
            return -1;
        }
        return ready > 0 ? 1 : 0;
    }
}

ssize_t BsdDivertSocket::receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                                 socklen_t* tokenLength) {
    if (buffer == nullptr || token == nullptr || tokenLength == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!enter()) {
        return -1;
    }
    ssize_t result = -1;
    for (;;) {
        if (pollReadable(-1) < 0) {
            break;
        }
        *tokenLength = kTokenSize;
        result = ::recvfrom(fd_, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                            reinterpret_cast<sockaddr*>(token), tokenLength);
        if (result < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (result > static_cast<ssize_t>(capacity)) {
            // Cut by the caller's buffer: never hand out a partial packet. The divert
            // socket has already taken it, so it is lost; the caller sees EMSGSIZE.
            result = -1;
            errno = EMSGSIZE;
        }
        break;
    }
    const int reason = errno;
    leave();
    errno = reason;
    return result;
}

ssize_t BsdDivertSocket::send(const std::uint8_t* bytes, std::size_t length,
                              const sockaddr_in& token, socklen_t tokenLength) {
    if (!enter()) {
        return -1;
    }
    const ssize_t result =
        ::sendto(fd_, bytes, length, 0, reinterpret_cast<const sockaddr*>(&token), tokenLength);
    const int reason = errno;
    leave();
    errno = reason;
    return result;
}

int BsdDivertSocket::drop(const sockaddr_in&, socklen_t) {
    if (!enter()) {
        return -1;
    }
    leave();
    return 0;
}

int BsdDivertSocket::waitReadable(std::chrono::microseconds timeout) {
    if (!enter()) {
        return -1;
    }
    const auto milliseconds = (timeout.count() + 999) / 1000;
    const int result = pollReadable(static_cast<int>(std::min<long long>(milliseconds, INT_MAX)));
    const int reason = errno;
    leave();
    errno = reason;
    return result;
}

int BsdDivertSocket::close() {
    std::lock_guard guard(lifecycleMutex_);
    if (closed_.exchange(true)) {
        errno = EBADF;
        return -1;
    }
    const bool wasOpen = fd_ >= 0;
    if (wakePipe_[1] >= 0) {
        const char wake = 1;
        (void)!::write(wakePipe_[1], &wake, 1);
    }
    for (int users = users_.load(); users != 0; users = users_.load()) {
        users_.wait(users);
    }
    for (int* fd : {&fd_, &wakePipe_[0], &wakePipe_[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    open_.store(false);
    if (!wasOpen) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

}  // namespace quellbox
