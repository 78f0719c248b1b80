#include <gtest/gtest.h>

#include <vector>

#include "engine/AcknowledgedBytes.h"

namespace quellbox {
namespace {

constexpr std::uint8_t kAck = PacketHeader::kAck;
constexpr std::uint8_t kFin = PacketHeader::kFin | PacketHeader::kAck;
constexpr std::uint8_t kRst = PacketHeader::kRst | PacketHeader::kAck;
constexpr std::uint8_t kSyn = PacketHeader::kSyn;

PacketHeader packet(std::uint32_t acknowledgement, std::uint8_t flags = kAck,
                    std::uint16_t clientPort = 50000) {
    PacketHeader header;
    header.source = 0xC0000201;  // 192.0.2.1, the local service
    header.destination = 0xC0000214;
    header.sourcePort = 6700;
    header.destinationPort = clientPort;
    header.flags = flags;
    header.acknowledgement = acknowledgement;
    return header;
}

struct Step {
    std::uint32_t acknowledgement;
    std::uint8_t flags;
    std::uint32_t counted;
    std::uint16_t clientPort = 50000;
};

TEST(AcknowledgedBytes, CountsEachByteOnceFromTheFlowsFirstAcknowledgement) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"the first packet is the baseline",
         {{1000, kAck, 0}, {2448, kAck, 1448}, {5344, kAck, 2896}}},
        {"duplicates and older acknowledgements count nothing",
         {{1000, kAck, 0},
          {2448, kAck, 1448},
          {2448, kAck, 0},
          {2000, kAck, 0},
          {3000, kAck, 552}}},
        {"across the wrap of the sequence space",
         {{0xFFFFFF00, kAck, 0},
          {0x00000100, kAck, 0x200},
          {0xFFFFFFF0, kAck, 0},
          {0x300, kAck, 0x200}}},
        {"a SYN without acknowledgement sets no baseline",
         {{0, kSyn, 0}, {77, kAck, 0}, {177, kAck, 100}}},
        {"a FIN counts its advance and ends the flow",
         {{100, kAck, 0}, {200, kFin, 100}, {300, kAck, 0}, {400, kAck, 100}}},
        {"a reset counts nothing and ends the flow",
         {{100, kAck, 0}, {500, kRst, 0}, {600, kAck, 0}, {700, kAck, 100}}},
        {"flows are counted apart",
         {{1000, kAck, 0, 50000},
          {9000, kAck, 0, 50001},
          {1500, kAck, 500, 50000},
          {9100, kAck, 100, 50001}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        AcknowledgedBytes acknowledged;
        for (std::size_t i = 0; i < test.steps.size(); ++i) {
            const Step& step = test.steps[i];
            EXPECT_EQ(acknowledged.count(packet(step.acknowledgement, step.flags, step.clientPort)),
                      step.counted)
                << "step " << i;
        }
    }
}

TEST(AcknowledgedBytes, MemoryStaysBoundedAndIdleFlowsGo) {
    AcknowledgedBytes acknowledged;
    for (std::uint32_t port = 0; port <= AcknowledgedBytes::kMostFlows; ++port) {
        acknowledged.count(packet(1, kAck, static_cast<std::uint16_t>(port)));
    }
    EXPECT_EQ(acknowledged.flows(), AcknowledgedBytes::kMostFlows);
    // One flow busy for two sweeps: every other flow has gone quiet and is forgotten.
    for (std::uint64_t i = 0; i < 2 * AcknowledgedBytes::kSweepInterval; ++i) {
        acknowledged.count(packet(static_cast<std::uint32_t>(i), kAck, 7));
    }
    EXPECT_EQ(acknowledged.flows(), 1U);
}

}  // namespace
}  // namespace quellbox
