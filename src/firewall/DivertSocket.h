#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quellbox {

// The one interface through which the engine reads and writes diverted packets: outgoing
// IPv4 packets of the ports the firewall rules name, delivered to one reader and written
// back unchanged with the 16-byte socket address (the token) that came with them.
//
// Calls mirror the BSD divert socket: 0 / -1 (or a byte count / -1) with errno set on
// failure, never an exception.
//
// Threads: one thread receives (and waits readable). send and drop may be called from
// several threads; the engine serialises them under its socket lock, but every backend is
// also safe without that. close may be called from any thread at any time: a thread blocked
// in receive or waitReadable wakes promptly and gets -1; later calls fail with EBADF.
//
// Backends: NfqueueDivertSocket (Linux NFQUEUE), SimDivertSocket (the in-process simulated
// kernel), BsdDivertSocket (where IPPROTO_DIVERT exists). PacketBackend makes the right one.
class DivertSocket {
public:
    // The port the firewall rules divert to and the socket binds to.
    static constexpr int kDivertPort = 6715;
    // The largest IPv4 packet; the reader's buffer should be this large.
    static constexpr std::size_t kMaxPacketSize = 65535;
    // Size of the token: a sockaddr_in.
    static constexpr socklen_t kTokenSize = sizeof(sockaddr_in);

    DivertSocket() = default;
    virtual ~DivertSocket() = default;
    DivertSocket(const DivertSocket&) = delete;
    DivertSocket& operator=(const DivertSocket&) = delete;

    // Creates the socket (as socket(2)): 0, or -1 with errno (EPERM/EACCES without rights).
    // The nfqueue backend needs CAP_NET_ADMIN, held by the process for its whole life.
    virtual int open() = 0;
    // Starts delivery of the packets diverted to `port` (normally kDivertPort): 0 or -1.
    virtual int bind(int port) = 0;
    // Blocks until one diverted packet is there and puts it into `buffer`: answers its
    // length, and fills `token` (and *tokenLength = kTokenSize) to hand back to send or
    // drop. -1 when the socket is closed (also by close from another thread) or fails; a
    // failed read is never returned as a packet. A packet larger than `capacity` is let
    // pass unchanged and answered with -1 and EMSGSIZE.
    // The length is always the packet's real length, and the IPv4 and TCP headers are
    // always there as the packet has them; the payload may not be: a backend whose kernel
    // keeps the packet (nfqueue) copies the headers only and sets the bytes after them, up
    // to the length, to zero. What the engine reads of a packet (the header fields and the
    // length) is therefore the same from every backend.
    virtual ssize_t receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                            socklen_t* tokenLength) = 0;
    // Writes a received packet back (re-injects it where it was taken): `length` on
    // success, -1 otherwise. `bytes` and `length` as receive gave them, `token` and
    // `tokenLength` exactly as receive filled them. Packets go back unchanged: a backend
    // whose kernel kept the packet re-injects that copy and does not read `bytes`.
    virtual ssize_t send(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& token,
                         socklen_t tokenLength) = 0;
    // Releases a received packet that will not be written back (the kernel drops it):
    // 0 or -1.
    virtual int drop(const sockaddr_in& token, socklen_t tokenLength) = 0;
    // Waits at most `timeout` for a packet to read, without reading it: 1 when one is
    // waiting, 0 on time-out, -1 when closed or failed.
    virtual int waitReadable(std::chrono::microseconds timeout) = 0;
    // Stops delivery and releases the socket; wakes blocked readers. 0, or -1 when it was
    // not open. Safe to call more than once and from any thread.
    virtual int close() = 0;
    // "nfqueue", "sim" or "divert".
    virtual const char* backendName() const = 0;

protected:
    // Backends that identify packets by a number carry it in the token: family AF_INET,
    // the divert port, and the number in the eight bytes of sin_zero.
    static sockaddr_in makeToken(int port, std::uint64_t packetId);
    // The number carried by a token; 0 (never a valid id) when the token is malformed.
    static std::uint64_t tokenPacketId(const sockaddr_in& token, socklen_t tokenLength);
};

}  // namespace quellbox
