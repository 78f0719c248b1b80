#pragma once

namespace quellbox {

class Packet;

// Whoever read a packet from the kernel and must be told when the engine lets go of it
// without writing it back (a full queue refused it, a random loss dropped it, the engine shut
// down): the kernel then releases the packet as dropped at once instead of holding it.
// Called from the destructor of the packet, on whichever thread destroys it, so an
// implementation must be safe to call from any thread and must outlive its packets.
class PacketReleaser {
public:
    virtual ~PacketReleaser() = default;
    virtual void releaseUnsent(const Packet& packet) = 0;
};

}  // namespace quellbox
