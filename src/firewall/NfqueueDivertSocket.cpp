#include "firewall/NfqueueDivertSocket.h"

#include <fcntl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// Room for the largest packet and the netlink and nfqueue headers and attributes around it.
constexpr std::size_t kMessageBufferSize = DivertSocket::kMaxPacketSize + 8192;

bool setCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// Packet ids count up from 1, so no packet has this one; a verdict for it only earns an
// error report from the kernel.
constexpr std::uint32_t kNoPacketId = 0;

// The length of a packet of which the kernel gave us `copied` bytes. A copy shorter than the
// range is the whole packet; a full one may be cut, and then the IPv4 total length says how
// long the packet is (with segmentation off, the kernel queues every packet as one IPv4
// datagram whose total length the stack has set). A header that claims less than we hold
// is not believed: the bytes held are the length.
std::size_t packetLength(const unsigned char* bytes, std::size_t copied) {
    if (copied < NfqueueDivertSocket::kCopyRange || (bytes[0] >> 4) != 4) {
        return copied;
    }
    const std::size_t total = (std::size_t{bytes[2]} << 8) | bytes[3];
    return total > copied ? total : copied;
}

}  // namespace

NfqueueDivertSocket::NfqueueDivertSocket() = default;

// This class's own close, named as such: no derived class is left to dispatch to.
NfqueueDivertSocket::~NfqueueDivertSocket() { NfqueueDivertSocket::close(); }

int NfqueueDivertSocket::open() {
    std::lock_guard guard(lifecycleMutex_);
    if (handle_ != nullptr || closed_.load()) {
        errno = EBADF;
        return -1;
    }
    handle_ = nfq_open();
    if (handle_ == nullptr) {
        return -1;
    }
    fd_ = nfq_fd(handle_);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The command runner forks children; they must not inherit the queue's socket.
    if (wakeFd_ < 0 || !setCloseOnExec(fd_)) {
        const int reason = errno;
        releaseResources();
        errno = reason;
        return -1;
    }
    message_.resize(kMessageBufferSize);
    open_.store(true);
    return 0;
}

int NfqueueDivertSocket::bind(int port) {
    std::lock_guard guard(lifecycleMutex_);
    if (handle_ == nullptr || closed_.load()) {
        errno = EBADF;
        return -1;
    }
    if (queue_ != nullptr || port < 0 || port > 65535) {
        errno = EINVAL;
        return -1;
    }
    // Every packet the kernel queue holds may be waiting on this socket at once: room for
    // all of them, so that fail-open (which lets packets pass unshaped) acts only when the
    // engine stalls. Set before the bind: the kernel queues packets from that moment on, while
    // the library still reads the answers to the settings below (at full speed after a crash,
    // when the traffic passed unread), and an overflow then failed the bind. SO_RCVBUFFORCE passes
    // over net.core.rmem_max with CAP_NET_ADMIN; without it the system's maximum is the best there
    // is.
    const int bufferBytes = kReceiveBufferBytes;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0 &&
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes) != 0) {
        SystemLog::reportError("Quellbox Error : setsockopt(SO_RCVBUF)");
    }
    const int on = 1;
    if (::setsockopt(fd_, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on) != 0) {
        SystemLog::reportError("Quellbox Error : setsockopt(NETLINK_NO_ENOBUFS)");
    }
    queue_ = nfq_create_queue(handle_, static_cast<std::uint16_t>(port),
                              &NfqueueDivertSocket::onPacket, this);
    if (queue_ == nullptr) {
        return -1;
    }
    const auto fail = [this] {
        const int reason = errno != 0 ? errno : EINVAL;
        nfq_destroy_queue(queue_);
        queue_ = nullptr;
        errno = reason;
        return -1;
    };
    errno = 0;
    // Fail-open on, first, so that what cannot be queued while the rest is set passes;
    // segmentation-offload super-packets come whole.
    const std::uint32_t flags = NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO;
    if (nfq_set_queue_flags(queue_, flags, flags) < 0) {
        return fail();
    }
    // Only the headers cross to us; the kernel keeps the whole packet and re-injects its own
    // copy on NF_ACCEPT, so no payload is copied out or back in.
    if (nfq_set_mode(queue_, NFQNL_COPY_PACKET, static_cast<std::uint32_t>(kCopyRange)) < 0) {
        return fail();
    }
    if (nfq_set_queue_maxlen(queue_, kQueueMaxLength) < 0) {
        return fail();
    }
    port_ = port;
    return 0;
}

bool NfqueueDivertSocket::enter() {
    users_.fetch_add(1);
    if (closed_.load() || !open_.load()) {
        leave();
        errno = EBADF;
        return false;
    }
    return true;
}

void NfqueueDivertSocket::leave() {
    if (users_.fetch_sub(1) == 1 && closed_.load()) {
        users_.notify_all();
    }
}

int NfqueueDivertSocket::onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* packet, void* self) {
    auto* socket = static_cast<NfqueueDivertSocket*>(self);
    if (socket->releasing_) {
        return 0;  // the queue is going away; the kernel drops what it still holds
    }
    const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packet);
    if (header == nullptr) {
        return 0;
    }
    const std::uint32_t id = ntohl(header->packet_id);
    if (socket->target_ == nullptr) {
        // No reader yet: the packet came while bind waited for the kernel's answer to a
        // setting. It passes, rather than stay in the kernel's queue with no verdict.
        std::lock_guard guard(socket->verdictMutex_);
        nfq_set_verdict(socket->queue_, id, NF_ACCEPT, 0, nullptr);
        return 0;
    }
    unsigned char* payload = nullptr;
    const int copied = nfq_get_payload(packet, &payload);
    const std::size_t length =
        copied >= 0 ? packetLength(payload, static_cast<std::size_t>(copied)) : std::size_t{0};
    const bool fits = copied >= 0 && length <= socket->targetCapacity_;
    if (socket->delivered_ >= 0 || !fits) {
        // A second packet in one message, or one too large for the caller: let it pass
        // unchanged rather than cut or lose it.
        {
            std::lock_guard guard(socket->verdictMutex_);
            nfq_set_verdict(socket->queue_, id, NF_ACCEPT, 0, nullptr);
        }
        socket->oversize_ = socket->oversize_ || !fits;
        return 0;
    }
    const auto headers = static_cast<std::size_t>(copied);
    std::memcpy(socket->target_, payload, headers);
    std::memset(socket->target_ + headers, 0, length - headers);
    socket->delivered_ = static_cast<ssize_t>(length);
    socket->deliveredId_ = id;
    return 0;
}

int NfqueueDivertSocket::pollReadable(int timeoutMilliseconds) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
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
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0) {
            errno = EIO;
            return -1;
        }
        return ready > 0 ? 1 : 0;
    }
}

ssize_t NfqueueDivertSocket::receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                                     socklen_t* tokenLength) {
    if (buffer == nullptr || token == nullptr || tokenLength == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!enter()) {
        return -1;
    }
    if (queue_ == nullptr) {
        leave();
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        if (closed_.load()) {
            leave();
            errno = EBADF;
            return -1;
        }
        // A plain blocking read: one system call per packet. close() wakes it by provoking
        // an error report from the kernel on this socket.
        const ssize_t received = ::recv(fd_, message_.data(), message_.size(), 0);
        if (closed_.load()) {
            leave();
            errno = EBADF;
            return -1;
        }
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            if (errno == ENOBUFS) {
                overruns_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            const int reason = errno;
            leave();
            errno = reason;
            return -1;
        }
        target_ = buffer;
        targetCapacity_ = capacity;
        delivered_ = -1;
        oversize_ = false;
        // Not under the verdict lock: reading a message touches nothing a verdict changes
        // (only sending advances the library's sequence counter), and a verdict holds the
        // lock for its whole system call, re-injection included, which would stall the
        // reader once per packet. The rare verdicts from inside the callback take the lock.
        nfq_handle_packet(handle_, message_.data(), static_cast<int>(received));
        if (delivered_ >= 0) {
            *token = makeToken(port_, std::uint64_t{deliveredId_} + 1);
            *tokenLength = kTokenSize;
            const ssize_t length = delivered_;
            leave();
            return length;
        }
        if (oversize_) {
            leave();
            errno = EMSGSIZE;
            return -1;
        }
        // Anything else (an error report for a late verdict, say) carries no packet.
    }
}

int NfqueueDivertSocket::verdict(const sockaddr_in& token, socklen_t tokenLength,
                                 std::uint32_t verdict) {
    const std::uint64_t packetId = tokenPacketId(token, tokenLength);
    if (packetId == 0 || packetId - 1 > UINT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    if (!enter()) {
        return -1;
    }
    int result = -1;
    {
        std::lock_guard guard(verdictMutex_);
        if (queue_ != nullptr) {
            // No payload: the kernel re-injects the packet it holds, which is the one we
            // were given, unchanged.
            result = nfq_set_verdict(queue_, static_cast<std::uint32_t>(packetId - 1), verdict, 0,
                                     nullptr);
        } else {
            errno = EINVAL;
        }
    }
    const int reason = errno;
    leave();
    errno = reason;
    return result < 0 ? -1 : 0;
}

ssize_t NfqueueDivertSocket::send(const std::uint8_t* bytes, std::size_t length,
                                  const sockaddr_in& token, socklen_t tokenLength) {
    if (bytes == nullptr || length == 0 || length > kMaxPacketSize) {
        errno = EINVAL;
        return -1;
    }
    if (verdict(token, tokenLength, NF_ACCEPT) != 0) {
        return -1;
    }
    return static_cast<ssize_t>(length);
}

int NfqueueDivertSocket::drop(const sockaddr_in& token, socklen_t tokenLength) {
    return verdict(token, tokenLength, NF_DROP);
}

int NfqueueDivertSocket::waitReadable(std::chrono::microseconds timeout) {
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

int NfqueueDivertSocket::close() {
    std::lock_guard guard(lifecycleMutex_);
    if (closed_.exchange(true)) {
        errno = EBADF;
        return -1;
    }
    const bool wasOpen = handle_ != nullptr;
    // Wake a reader blocked in poll (waitReadable) ...
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
            SystemLog::reportError("Quellbox Error : eventfd write");
        }
    }
    // ... and one blocked in recv (receive): the kernel answers a verdict for a packet it
    // does not hold with an error message on the socket. Were the socket's buffer full,
    // the reader has packets to read and sees the closed flag after the next one.
    if (queue_ != nullptr) {
        std::lock_guard verdictGuard(verdictMutex_);
        nfq_set_verdict(queue_, kNoPacketId, NF_ACCEPT, 0, nullptr);
    }
    // Wait until every reader and writer has left before the handles go away.
    for (int users = users_.load(); users != 0; users = users_.load()) {
        users_.wait(users);
    }
    releaseResources();
    if (!wasOpen) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

void NfqueueDivertSocket::drainMessages() {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        return;
    }
    while (::recv(fd_, message_.data(), message_.size(), 0) > 0 || errno == EINTR ||
           errno == ENOBUFS) {
    }
    ::fcntl(fd_, F_SETFL, flags);
}

void NfqueueDivertSocket::releaseResources() {
    if (queue_ != nullptr) {
        // The library unbinds the queue with a request whose answer it reads from the
        // socket; packets and the wake-up's error report still waiting there would be taken
        // for that answer, and the queue's memory would not be freed. Empty the socket
        // first; packets arriving meanwhile are passed over (releasing_).
        releasing_ = true;
        bool destroyed = false;
        for (int attempt = 0; attempt < 3 && !destroyed; ++attempt) {
            drainMessages();
            destroyed = nfq_destroy_queue(queue_) == 0;
        }
        if (!destroyed) {
            SystemLog::reportError("Quellbox Error : nfq_destroy_queue()");
        }
        queue_ = nullptr;
    }
    if (handle_ != nullptr) {
        nfq_close(handle_);
        handle_ = nullptr;
        fd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
    open_.store(false);
}

}  // namespace quellbox
