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
// takes queue number `port` (the iptables rules of quellbox-ipfw send to queue 6715) with:
//   - the headers only: the kernel copies the first kCopyRange bytes of each packet (room for
//     the largest IPv4 and TCP headers, all the engine reads) and keeps the packet itself;
//     receive answers the packet's real length (its IPv4 total length) with the bytes past
//     the copy set to zero, and send is an NF_ACCEPT verdict without payload, so the kernel
//     re-injects its own, unchanged copy. Copying 1500 bytes out and back in for every
//     packet cost more than everything else on the path;
//   - fail-open: while the queue is full (or the socket's buffer is), the kernel lets
//     packets pass instead of dropping them; with no reader at all the rules' --queue-bypass
//     does the same;
//   - GSO super-packets whole: a sender's segmentation offload hands the stack one packet
//     of up to 64 KiB that the device cuts into segments; the kernel queues it as it is
//     instead of cutting it first, so one packet, one read and one verdict carry tens of
//     segments at high rates. Its IPv4 total length is the whole, and the engine charges
//     the headers of the segments it becomes (PacketHeader::wireBytes). Cutting every
//     super-packet to queue its segments one by one cost more than everything else on the
//     path at 100 MiB/s, and held 200 queued packets to 3 ms of data there;
//   - a kernel queue of kQueueMaxLength packets, far above what the engine ever holds
//     (13 queues of at most 200), so fail-open only acts when the engine stalls;
//   - a socket receive buffer with room for the whole kernel queue, and ENOBUFS reports
//     switched off (and survived).
// The packet id travels in the token; drop is an NF_DROP verdict. Verdicts go one by one:
// the kernel's batch verdict releases every packet up to an id, and the engine releases
// packets out of id order (acknowledgements overtake the paced data, slowed ones wait).
//
// open and bind need CAP_NET_ADMIN, and so does every verdict (the kernel checks the process
// that gives it, not the one that opened the socket): the engine holds it for its whole life.
class NfqueueDivertSocket : public DivertSocket {
public:
    static constexpr std::uint32_t kQueueMaxLength = 4096;
    // The IPv4 header (at most 60 bytes) and the TCP header (at most 60).
    static constexpr std::size_t kCopyRange = 120;
    // A queued packet's message of kCopyRange bytes takes about 1 KiB of socket buffer
    // (netlink headers, attributes, the kernel's own accounting): 4 KiB each is ample.
    static constexpr int kReceiveBufferBytes = static_cast<int>(kQueueMaxLength) * 4096;

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
    int verdict(const sockaddr_in& token, socklen_t tokenLength, std::uint32_t verdict);
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
    std::mutex verdictMutex_;    // every verdict: the library's send path keeps a sequence counter
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
