// The download rate mode's hold on the acknowledgements: the budget they spend, what counts
// as an acknowledgement, and the engine releasing them over the simulated kernel.
#include <gtest/gtest.h>

#include <vector>

#include "SimEngineFixture.h"
#include "engine/AcknowledgementBudget.h"
#include "engine/PacketHeader.h"

namespace quellbox {
namespace {

using testing::SimEngineFixture;
using namespace std::chrono_literals;
using Clock = AcknowledgementBudget::Clock;

constexpr double kHundredKiB = 100.0 * 1024.0;  // bytes per second; the bucket holds 2,048

TEST(AcknowledgementBudget, ReleasesTheBytesAtTheRateAndDuplicatesAtOnce) {
    struct Step {
        std::uint64_t bytes;
        Clock::duration leaves;  // after the first
    };
    // Each acknowledgement asks as soon as its predecessor has left.
    const Step steps[] = {
        {2048, 0ms},    // a full bucket
        {2048, 20ms},   // an empty one, refilled
        {0, 20ms},      // a duplicate leaves with its predecessor
        {65536, 40ms},  // more than the bucket holds waits for a full one...
        {0, 40ms},      // (a duplicate waits for no debt)
        {1024, 670ms},  // ...and leaves a debt of 63,488 bytes that the next one waits off
    };
    AcknowledgementBudget budget(kHundredKiB);
    const Clock::time_point start{};
    Clock::time_point now = start;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.bytes);
        now = budget.releaseTime(step.bytes, now);
        EXPECT_NEAR(std::chrono::duration<double>(now - start).count(),
                    std::chrono::duration<double>(step.leaves).count(), 1e-6);
        budget.spend(step.bytes, now);
    }
}

TEST(AcknowledgementBudget, ANewRateCountsFromItsChangeAndIdleTimeFillsOneBucketOnly) {
    AcknowledgementBudget budget(kHundredKiB);
    const Clock::time_point start{};
    budget.spend(65536, start);                      // a debt of 63,488 bytes
    budget.setRate(2 * kHundredKiB, start + 100ms);  // 10,240 of it paid at the old rate
    const auto wait = budget.releaseTime(1024, start + 100ms) - (start + 100ms);
    EXPECT_NEAR(std::chrono::duration<double>(wait).count(),
                (63488.0 - 10240.0 + 1024.0) / (2 * kHundredKiB), 1e-6);
    // A minute idle: one bucket of 4,096 bytes at the new rate, not a minute's worth.
    const auto later = start + 60s;
    EXPECT_EQ(budget.releaseTime(4096, later), later);
    budget.spend(4096, later);
    EXPECT_GT(budget.releaseTime(1, later), later);
}

// Short packets, SYNs and PSH segments are acknowledgements, FINs not; a bare acknowledgement
// with selective-acknowledgement blocks is longer than 69 bytes (up to the longest TCP header,
// 15 words) and still one; the same length with payload is DATA.
TEST(AcknowledgementClass, BareAcknowledgementIsOneWhateverItsOptions) {
    constexpr std::uint8_t kAck = TcpPacketBuilder::kAck;
    struct Case {
        std::size_t length;
        std::uint8_t tcpWords;
        bool ackClass;
        std::uint8_t flags = kAck;
    };
    for (const Case& test :
         {Case{72, 13, true}, Case{80, 15, true}, Case{72, 5, false}, Case{84, 13, false},
          Case{69, 5, true}, Case{40, 5, true}, Case{70, 5, false},
          Case{1500, 5, false, kAck | TcpPacketBuilder::kFin},
          Case{1500, 5, true, kAck | TcpPacketBuilder::kPsh},
          Case{1500, 5, true, TcpPacketBuilder::kSyn}}) {
        SCOPED_TRACE(::testing::Message() << test.length << " bytes, flags " << int{test.flags});
        TcpPacketBuilder builder;
        builder.flags = test.flags;
        auto bytes = builder.build(test.length);
        bytes[20 + 12] = static_cast<std::uint8_t>(test.tcpWords << 4);
        const auto header = PacketHeader::parse(bytes.data(), bytes.size());
        ASSERT_TRUE(header);
        EXPECT_EQ(header->isAckClass(static_cast<std::int32_t>(test.length)), test.ackClass);
    }
}

// Each held acknowledgement leaves once the budget holds what it newly acknowledges, in order
// and once, those with SACK blocks too, also while DATA of their flow waits.
TEST(HeldAcknowledgements, LeaveInOrderAsTheBudgetAllows) {
    constexpr int kPort = 6700;
    SimEngineFixture sim;
    sim.startWithCap(kPort, true);
    // One DATA packet leaves, the next waits for hours behind it.
    sim.engine().setDATARate(0.0001F);
    ASSERT_EQ(sim.engine().setDownloadRate(true, 100.0F), 0);

    TcpPacketBuilder builder;
    builder.source = TcpPacketBuilder::address(SimEngineFixture::kServer);
    builder.sourcePort = kPort;
    builder.destination = TcpPacketBuilder::address("192.0.2.10");
    builder.destinationPort = 50000;
    auto packet = [&](std::uint32_t acknowledgement, std::size_t length, std::uint8_t tcpWords) {
        builder.acknowledgement = acknowledgement;
        ++builder.identification;
        auto bytes = builder.build(length);
        bytes[20 + 12] = static_cast<std::uint8_t>(tcpWords << 4);
        return bytes;
    };
    const std::uint32_t base = 0xFFFFF000;  // across the wrap
    sim.inject(packet(base, 1500, 5));
    sim.inject(packet(base, 1500, 5));  // DATA of the flow waits
    const std::vector<std::vector<std::uint8_t>> held = {
        packet(base, 40, 5),           // no more than the first packet: nothing new
        packet(base + 10240, 40, 5),   // a full bucket, then a debt of 8,192 bytes
        packet(base + 10240, 52, 8),   // a duplicate
        packet(base + 20480, 72, 13),  // with SACK blocks: 100 ms for the debt
        packet(base + 21504, 40, 5),   // then another 90 ms
    };
    for (const auto& bytes : held) {
        sim.inject(bytes);
    }
    ASSERT_TRUE(sim.waitForDepartures(1 + held.size()));
    std::vector<Clock::time_point> leftAt;
    for (const auto& expected : held) {
        for (const auto& departure : sim.departures()) {
            if (departure.bytes == expected) {
                leftAt.push_back(departure.when);
            }
        }
    }
    ASSERT_EQ(leftAt.size(), held.size()) << "an acknowledgement was lost or doubled";
    for (std::size_t i = 1; i < leftAt.size(); ++i) {
        EXPECT_GE(leftAt[i], leftAt[i - 1]) << "acknowledgement " << i << " overtook";
    }
    // Less a margin for the write between the budget's reading and the wire's.
    EXPECT_GE(leftAt[3] - leftAt[1], 95ms);
    EXPECT_GE(leftAt[4] - leftAt[1], 185ms);
}

}  // namespace
}  // namespace quellbox
