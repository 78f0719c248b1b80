// Any bytes as a diverted packet (0 to 65535 bytes): the header fields the engine reads, the
// sorting rule, and the packet record that carries them.
#include <cstring>

#include "engine/Packet.h"
#include "engine/PacketHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    if (size > static_cast<std::size_t>(Packet::maximumSize)) {
        return 0;
    }
    Packet packet;
    if (!packet.setPacketSize(static_cast<std::int32_t>(size))) {
        __builtin_trap();
    }
    if (size > 0) {
        std::memcpy(packet.rawPacket(), data, size);
    }
    const auto header = PacketHeader::parse(packet.rawPacket(), size);
    if (header) {
        // The fields lie inside the packet, so a packet of them needs at least 34 bytes.
        if (size < 34) {
            __builtin_trap();
        }
        const bool ack = header->isAckClass(static_cast<std::int32_t>(size));
        if (size <= 69 && !ack) {
            __builtin_trap();
        }
        packet.setType(ack ? "ACK" : "DATA");
    }
    return 0;
}
