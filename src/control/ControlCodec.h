#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/ControlMessage.h"

namespace quellbox::control {

// The wire form of the control messages. A frame is the body's length (4 bytes, big-endian)
// and the body: the protocol version (1 byte), the kind (1 byte: the message's place in
// Message), then the fields in declaration order. Integers are big-endian, floats travel as
// their IEEE bits, texts as a 4-byte length and the bytes, lists as a 4-byte count and the
// items. Every length is checked against what the body still holds, so a damaged or hostile
// body is refused without reading past it or allocating for a count it cannot hold.
class ControlCodec {
public:
    static constexpr std::size_t kHeaderBytes = 4;
    static constexpr std::size_t kMaxBodyBytes = 1 << 20;
    // Nesting of lists and dictionaries inside a setting's value.
    static constexpr int kMaxValueDepth = 8;

    // The whole frame, length prefix included.
    static std::vector<std::uint8_t> encode(const Message& message);
    // The body's length from a frame's first kHeaderBytes bytes; nothing (with the reason)
    // when it exceeds kMaxBodyBytes or is empty.
    static std::optional<std::size_t> bodyLength(const std::uint8_t* header, std::string& error);
    // The message of one body; nothing (with the reason) for a wrong version, an unknown
    // kind, a truncated body or bytes left over.
    static std::optional<Message> decode(const std::uint8_t* body, std::size_t size,
                                         std::string& error);
};

}  // namespace quellbox::control
