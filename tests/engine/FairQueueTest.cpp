#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "TestPackets.h"
#include "engine/FairQueue.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using ::testing::ElementsAre;
using testing::makePacket;
using testing::RecordingReleaser;
using testing::tagOf;
using namespace std::chrono_literals;

PacketPtr flowPacket(uint32_t tag, uint32_t client, uint16_t port, int32_t size,
                     PacketReleaser* releaser = nullptr) {
    PacketPtr packet = makePacket(tag, releaser, 5, size);
    packet->setFlow(FlowKey{1, client, 6700, port});
    return packet;
}

// Three clients with different packet sizes and numbers of connections, all with data
// waiting: while all three are backlogged, their byte counts stay within one turn's worth.
TEST(FairQueue, ClientsTakeTurnsByBytesWhateverTheirPacketSizesAndFlows) {
    struct Client {
        uint32_t address;
        int32_t size;
        int flows;
    };
    const std::vector<Client> clients = {{10, 1500, 1}, {20, 500, 3}, {30, 1000, 2}};
    FairQueue queue;
    uint32_t tag = 0;
    for (int round = 0; round < 60; ++round) {
        for (const Client& client : clients) {
            const auto port = static_cast<uint16_t>(40000 + round % client.flows);
            ASSERT_TRUE(queue.enqueue(flowPacket(tag++, client.address, port, client.size)));
        }
    }
    std::map<uint32_t, int64_t> sent;
    std::map<uint32_t, int> left = {{10, 60}, {20, 60}, {30, 60}};
    for (;;) {
        PacketPtr packet = queue.tryDequeue();
        ASSERT_NE(packet, nullptr);
        const uint32_t client = packet->flow().destination;
        sent[client] += packet->getPacketSize();
        if (--left[client] == 0) {
            break;  // the first client to run dry ends the fair part
        }
    }
    const auto [least, most] = std::minmax({sent[10], sent[20], sent[30]});
    // A turn at priority 5 is six quanta.
    EXPECT_LE(most - least, 6 * FairQueue::kQuantum + 1500)
        << sent[10] << " " << sent[20] << " " << sent[30];
    EXPECT_GT(least, 0);
}

TEST(FairQueue, FlowsOfOneClientAlternateAndEachKeepsItsOrder) {
    FairQueue queue;
    for (uint32_t i = 1; i <= 3; ++i) {
        queue.enqueue(flowPacket(i, 10, 40000, 1500));
        queue.enqueue(flowPacket(10 + i, 10, 40001, 1500));
    }
    std::vector<uint32_t> served;
    while (PacketPtr packet = queue.tryDequeue()) {
        served.push_back(tagOf(*packet));
    }
    EXPECT_THAT(served, ElementsAre(1u, 11u, 2u, 12u, 3u, 13u));
    EXPECT_TRUE(queue.isEmpty());
}

// A head exactly one quantum long goes in the flow's first round; one byte more waits a round,
// so the other flow's short packet overtakes it.
TEST(FairQueue, HeadTheSizeOfTheFlowsCreditGoesThisRound) {
    for (const auto& [size, first] :
         {std::pair{FairQueue::kQuantum, 1u}, std::pair{FairQueue::kQuantum + 1, 2u}}) {
        FairQueue queue;
        queue.enqueue(flowPacket(1, 10, 40000, size));
        queue.enqueue(flowPacket(2, 10, 40001, 100));
        EXPECT_EQ(tagOf(*queue.tryDequeue()), first) << size;
    }
}

TEST(FairQueue, HoldsTwoHundredPacketsInAllThenRefuses) {
    SystemLogCapture log;
    RecordingReleaser releaser;
    FairQueue queue;
    for (uint32_t i = 0; i < 200; ++i) {
        ASSERT_TRUE(queue.enqueue(flowPacket(i, i % 4, 40000, 100)));
    }
    EXPECT_FALSE(queue.enqueue(flowPacket(999, 7, 40000, 100, &releaser)));
    EXPECT_THAT(releaser.tags(), ElementsAre(999u));
    EXPECT_EQ(log.count("will release this packet since this queue is full !"), 1);
    EXPECT_EQ(queue.size(), 200);
    queue.close();
    EXPECT_EQ(queue.tryDequeue(), nullptr);
    queue.releaseAll();
    EXPECT_TRUE(queue.isEmpty());
}

// Released packets take their lanes with them: the flow last queued to must not be served
// from a lane that no longer exists.
TEST(FairQueue, AFlowQueuedAgainAfterReleaseAllIsServed) {
    FairQueue queue;
    ASSERT_TRUE(queue.enqueue(flowPacket(1, 1, 40000, 100)));
    queue.releaseAll();
    ASSERT_TRUE(queue.enqueue(flowPacket(2, 1, 40000, 100)));
    const PacketPtr served = queue.tryDequeue();
    ASSERT_NE(served, nullptr);
    EXPECT_EQ(tagOf(*served), 2u);
}

// The bound drops the head of the busiest client's longest flow, only while the oldest
// packet has waited longer than the bound, and at most once per bound.
TEST(FairQueue, DelayBoundDropsFromTheHeadOfTheLongestClient) {
    struct Case {
        std::chrono::milliseconds bound;
        std::chrono::milliseconds waited;
        std::chrono::milliseconds betweenServices;
        std::vector<uint32_t> dropped;
    };
    const std::vector<Case> cases = {
        {0ms, 10min, 0ms, {}},            // off
        {50ms, 50ms, 0ms, {}},            // exactly the bound: no drop
        {50ms, 51ms, 20ms, {1}},          // one drop, then less than the bound passes
        {50ms, 51ms, 50ms, {1, 3, 102}},  // the busy client's longest flow (ties: next in turn)
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.waited.count());
        RecordingReleaser releaser;
        FairQueue::Clock::time_point now = FairQueue::Clock::time_point() + 1h;
        FairQueue queue([&now] { return now; });
        queue.setDelayBound(test.bound);
        // Client 10: two flows, the first longer; client 20: one short flow.
        for (uint32_t i = 1; i <= 4; ++i) {
            queue.enqueue(flowPacket(i, 10, 40000, 1500, &releaser));
        }
        queue.enqueue(flowPacket(101, 10, 40001, 1500, &releaser));
        queue.enqueue(flowPacket(102, 10, 40001, 1500, &releaser));
        queue.enqueue(flowPacket(201, 20, 40000, 1500, &releaser));
        now += test.waited;
        std::vector<uint32_t> served;
        for (int service = 0; service < 3; ++service) {
            now += service > 0 ? test.betweenServices : 0ms;
            PacketPtr packet = queue.tryDequeue();
            ASSERT_NE(packet, nullptr);
            packet->markSent();
            served.push_back(tagOf(*packet));
        }
        EXPECT_EQ(releaser.tags(), test.dropped);
        EXPECT_EQ(queue.droppedForDelay(), test.dropped.size());
        EXPECT_EQ(queue.size(), 7 - 3 - static_cast<int>(test.dropped.size()));
        queue.releaseAll();
    }
}

}  // namespace
}  // namespace quellbox
