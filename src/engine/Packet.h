#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/FlowBacklog.h"
#include "engine/FlowKey.h"
#include "engine/PacketHeader.h"

namespace quellbox {

class PacketReleaser;

// One IPv4 packet diverted to the engine, on its way from the divert socket back to it: its
// bytes exactly as read, the socket address the read returned (the write-back passes it
// unchanged so the kernel re-injects the packet where it was taken), and the labels that
// classification gives it. A packet has no lock: one holder uses it at a time (the reading
// thread, then a queue, then the pacing thread that writes it back), which PacketPtr enforces.
//
// The packet keeps exactly getPacketSize() bytes rather than a 65535-byte buffer, so that
// full queues cost about the bytes they hold. The reading thread reads into one reusable
// buffer of maximumSize bytes and copies the result in:
//
//     auto packet = std::make_unique<Packet>();
//     ssize_t n = recvfrom(fd, buffer, Packet::maximumSize, 0,
//                          reinterpret_cast<sockaddr*>(packet->getAddress()),
//                          packet->getAddressSize());
//     if (n < 0) { ... no packet: the failed read is not forwarded ... }
//     packet->setPacketSize(static_cast<int32_t>(n));
//     std::memcpy(packet->rawPacket(), buffer, static_cast<size_t>(n));
//     packet->setReleaser(&reader);   // from here on, dropping the packet releases it
//
// and the write-back sends getPacketSize() bytes of rawPacket() to getAddress() with the
// length *getAddressSize(), then calls markSent() if the write succeeded. A packet whose write
// failed stays unmarked, so destroying it still has the kernel drop it instead of holding it.
class Packet {
public:
    static constexpr int32_t PRIORITY_STD = 5;  // default; replaces an out-of-range priority
    static constexpr int32_t PRIORITY_MIN = 0;
    static constexpr int32_t PRIORITY_MAX = 10;
    static constexpr int32_t maximumSize =
        65535;  // the largest IPv4 packet; every read asks for it

    // Size 0, a zeroed address of length 16, priority 5, destination "NoName",
    // source type "Server", type "DATA", no releaser.
    Packet();
    // Destroys the bytes; a packet that has a releaser and was never marked sent is first
    // handed to releaseUnsent so the kernel drops it at once.
    ~Packet();
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    // The packet's bytes, IPv4 header first, network byte order: getPacketSize() of them.
    uint8_t* rawPacket() { return packet_.get(); }
    const uint8_t* rawPacket() const { return packet_.get(); }

    // Makes the packet hold `size` bytes (0..maximumSize): the leading bytes already held are
    // kept, bytes beyond them start as zero. Answers false and changes nothing for a size out
    // of range (a failed read's negative count is never stored as a size).
    bool setPacketSize(int32_t size);
    int32_t getPacketSize() const { return packetSize_; }
    // The bytes the wire carries for it, which the pacing and the turns charge: the size,
    // unless the classification found a super-packet that leaves as several segments.
    void setWireSize(int32_t size) { wireSize_ = size; }
    int32_t wireSize() const { return wireSize_ > 0 ? wireSize_ : packetSize_; }

    // The socket address itself: the read fills it in place, the write-back reads it.
    sockaddr_in* getAddress() { return &packet_address_; }
    const sockaddr_in* getAddress() const { return &packet_address_; }
    // The address length itself: in/out for the read (16 on entry), passed by the write.
    socklen_t* getAddressSize() { return &addr_size_; }
    const socklen_t* getAddressSize() const { return &addr_size_; }

    // Stores 0..10 unchanged; any other value (negative ones included) becomes PRIORITY_STD
    // with a line in the system log.
    void setPriority(int32_t priority);
    int32_t priority() const { return priority_; }

    void setType(std::string type) { type_ = std::move(type); }
    const std::string& type() const { return type_; }
    void setSourceType(std::string sourceType) { sourceType_ = std::move(sourceType); }
    const std::string& sourceType() const { return sourceType_; }
    void setPacketDestination(std::string destination) {
        packetDestination_ = std::move(destination);
    }
    const std::string& packetDestination() const { return packetDestination_; }

    // "packet adress : 0x... - Destination = <name> -  priority = <p>\n", with the address of
    // the packet's bytes printed in full (at least eight hex digits).
    std::string description() const;

    // The flow the packet belongs to, set by the classification; the final queue serves
    // clients and flows in turn by it.
    void setFlow(const FlowKey& flow) { flow_ = flow; }
    const FlowKey& flow() const { return flow_; }
    // Counts the packet in its flow's backlog for as long as the packet lives.
    void holdBacklogTicket(FlowBacklog::Ticket ticket) { backlogTicket_ = std::move(ticket); }
    // Stops counting the packet as waiting (it has left).
    void leaveBacklog() { backlogTicket_ = FlowBacklog::Ticket(); }
    // When the packet entered the final queue, for the queueing-delay bound.
    void setQueuedAt(std::chrono::steady_clock::time_point when) { queuedAt_ = when; }
    std::chrono::steady_clock::time_point queuedAt() const { return queuedAt_; }

    // The header fields the classification read, so that the threads after it need not
    // parse the bytes again; nothing until then.
    void setHeader(const PacketHeader& header) { header_ = header; }
    const std::optional<PacketHeader>& header() const { return header_; }
    // The bytes the packet's acknowledgement number newly acknowledged when it was read.
    void setNewlyAcknowledged(std::uint32_t bytes) { newlyAcknowledged_ = bytes; }
    std::uint32_t newlyAcknowledged() const { return newlyAcknowledged_; }

    // Who must release this packet if it is destroyed without being written back; not owned.
    void setReleaser(PacketReleaser* releaser) { releaser_ = releaser; }
    // Records that the packet was written back: destroying it then releases nothing.
    void markSent() { sent_ = true; }

private:
    int32_t packetSize_ = 0;
    int32_t wireSize_ = 0;  // 0: the same as packetSize_
    std::unique_ptr<uint8_t[]> packet_;
    sockaddr_in packet_address_{};
    socklen_t addr_size_ = sizeof(sockaddr_in);
    int32_t priority_ = PRIORITY_STD;
    std::string packetDestination_ = "NoName";
    std::string sourceType_ = "Server";
    std::string type_ = "DATA";
    PacketReleaser* releaser_ = nullptr;
    bool sent_ = false;
    FlowKey flow_;
    std::optional<PacketHeader> header_;
    std::uint32_t newlyAcknowledged_ = 0;
    std::chrono::steady_clock::time_point queuedAt_;
    FlowBacklog::Ticket backlogTicket_;
};

// A packet has one holder at a time; handing it over moves the pointer.
using PacketPtr = std::unique_ptr<Packet>;

}  // namespace quellbox
