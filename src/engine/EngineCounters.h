#pragma once

#include <cstdint>

namespace quellbox {

// What the shaping engine has handled since it started: packets, and bytes by kind.
struct EngineCounters {
    std::uint64_t read = 0;
    std::uint64_t writtenBack = 0;
    std::uint64_t writeFailures = 0;
    std::uint64_t malformed = 0;  // too short for their headers: written back unchanged
    std::uint64_t dataBytes = 0;  // bytes of the DATA packets written back (paced)
    // Bytes of acknowledgement-class packets that carry data (longer than an
    // acknowledgement, sorted there for their SYN or PSH flag), written back unpaced
    // and charged to the pacing.
    std::uint64_t unpacedDataBytes = 0;
    // Bytes of the acknowledgements without data, written back unpaced and not charged.
    std::uint64_t ackBytes = 0;
    // The capped services' download: bytes their acknowledgements newly acknowledged.
    std::uint64_t downloadBytes = 0;
    // Packets dropped besides the write failures: refused by a full queue, lost at a
    // climb of the priority buckets (Priority Mode's step), dropped for the longest
    // queueing delay.
    std::uint64_t droppedQueueFull = 0;
    std::uint64_t droppedByPriority = 0;
    std::uint64_t droppedForDelay = 0;
};

}  // namespace quellbox
