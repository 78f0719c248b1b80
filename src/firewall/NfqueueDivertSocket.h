#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "firewall/DivertSocket.h"

struct nfq_handle;
struct nfq_q_handle;
struct nfgenmsg;
struct nfq_data;

namespace quellbox {

// The Linux backend: the kernel's NFQUEUE facility through libnetfilter_queue. bind(port)
// takes queue number `port` (the iptables rules of quellbox-ipfw send to queue 6715) in
// copy-packet mode for whole packets of up to 65535 bytes, with:
//   - fail-open: while the queue is full (or the socket's buffer is), the kernel lets
//     packets pass instead of dropping them; with no reader at all the rules' --queue-bypass
//     does the same;
//   - no GSO super-packets: packets arrive segmented, as the wire carries them, so that
//     every segment is judged by its own size and flags;
//   - a kernel queue of kQueueMaxLength packets, far above what the engine ever holds
//     (13 queues of at most 200), so fail-open only acts when the engine stalls;
//   - a large socket receive buffer, and ENOBUFS reports switched off (and survived).
// The packet id travels in the token; send is an NF_ACCEPT verdict carrying the packet's
// bytes, drop an NF_DROP verdict.
//
// open and bind need CAP_NET_ADMIN, and so does every verdict (the kernel checks the process
// that gives it, not the one that opened the socket): the engine holds it for its whole life.
class NfqueueDivertSocket : public DivertSocket {
public:
    static constexpr std::uint32_t kQueueMaxLength = 4096;
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;

    NfqueueDivertSocket();
    ~NfqueueDivertSocket() override;

    int open() override;
    int bind(int port) override;
    ssize_t receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                    socklen_t* tokenLength) override;
    ssize_t send(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& token,
                 socklen_t tokenLength) override;
    int drop(const sockaddr_in& token, socklen_t tokenLength) override;
    int waitReadable(std::chrono::microseconds timeout) override;
    int close() override;
    const char* backendName() const override { return "nfqueue"; }

    // Times the socket reported lost messages (ENOBUFS); the kernel let those packets pass.
    std::uint64_t overruns() const { return overruns_.load(std::memory_order_relaxed); }

private:
    static int onPacket(nfq_q_handle* queue, nfgenmsg* message, nfq_data* packet, void* self);
    // Counts a caller in; false (errno EBADF) once the socket is closed or not yet open.
    bool enter();
    void leave();
    int verdict(const sockaddr_in& token, socklen_t tokenLength, std::uint32_t verdict,
                const std::uint8_t* bytes, std::size_t length);
    // Waits until the netlink socket is readable or the socket is closed: 1, 0, -1.
    int pollReadable(int timeoutMilliseconds);
    void releaseResources();
    // Reads and discards every message waiting on the socket.
    void drainMessages();

    nfq_handle* handle_ = nullptr;
    nfq_q_handle* queue_ = nullptr;
    int fd_ = -1;
    int wakeFd_ = -1;
    int port_ = 0;
    std::atomic<bool> open_{false};
    std::atomic<bool> closed_{false};
    std::atomic<int> users_{0};
    std::mutex lifecycleMutex_;  // open/bind/close against each other
    std::mutex verdictMutex_;    // the library's send path keeps a sequence counter
    std::atomic<std::uint64_t> overruns_{0};

    // Reading thread only: the message buffer and where the callback puts the packet.
    std::vector<char> message_;
    std::uint8_t* target_ = nullptr;
    std::size_t targetCapacity_ = 0;
    ssize_t delivered_ = -1;
    std::uint32_t deliveredId_ = 0;
    bool oversize_ = false;
    bool releasing_ = false;  // set by close once no reader is left
};

}  // namespace quellbox
