#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "TestPackets.h"
#include "engine/RandomSource.h"
#include "engine/priorityQueue.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using ::testing::ElementsAre;
using testing::expectEachTagOnce;
using testing::makePacket;
using testing::RecordingReleaser;
using testing::tagOf;
using ::testing::UnorderedElementsAre;

// Where a packet of each priority went: -1 for the final queue, else the bucket index.
int placeOf(const priorityQueue& queue) {
    if (!queue.finalPacketQueue().isEmpty()) {
        return -1;
    }
    for (int index = 0; index < priorityQueue::bucketCount; ++index) {
        if (!queue.bucketList(index).isEmpty()) {
            return index;
        }
    }
    return -2;  // nowhere
}

// By the distance below the running maximum; a maximum outside the range counts as the
// nearest bound.
TEST(priorityQueue, PlacesPacketsByTheirDistanceBelowTheRunningMaximum) {
    struct Case {
        int priority;
        int runningMax;
        int place;
    };
    for (const Case& test : {Case{8, 8, -1}, Case{10, 8, -1}, Case{7, 8, 9}, Case{5, 8, 7},
                             Case{0, 8, 2}, Case{0, 10, 0}, Case{5, 5, -1}, Case{0, 14, 0},
                             Case{9, 14, 9}, Case{10, 14, -1}, Case{0, -3, -1}}) {
        priorityQueue queue;
        queue.enqueue(makePacket(1, nullptr, test.priority), test.runningMax);
        EXPECT_EQ(queue.size(), 1);
        EXPECT_EQ(placeOf(queue), test.place) << test.priority << " under " << test.runningMax;
    }
}

TEST(priorityQueue, ServiceTakesTheFinalQueueFirstClimbsTheBucketsThenTakesTheHighest) {
    priorityQueue queue;
    queue.enqueue(makePacket('A', nullptr, 10), 10);  // final queue
    queue.enqueue(makePacket('B', nullptr, 9), 10);   // bucket 9
    queue.enqueue(makePacket('C', nullptr, 7), 10);   // bucket 7
    queue.enqueue(makePacket('D', nullptr, 0), 10);   // bucket 0

    EXPECT_EQ(tagOf(*queue.dequeueWithPrioWithLossProb(0.0f)), uint32_t{'A'});
    EXPECT_EQ(queue.finalPacketQueue().size(), 1);
    EXPECT_EQ(queue.bucketList(8).size(), 1);
    EXPECT_TRUE(queue.bucketList(7).isEmpty());
    EXPECT_TRUE(queue.bucketList(9).isEmpty());

    EXPECT_EQ(tagOf(*queue.dequeueWithPrioWithLossProb(0.0f)), uint32_t{'B'});
    EXPECT_TRUE(queue.finalPacketQueue().isEmpty());
    EXPECT_EQ(queue.bucketList(9).size(), 1);
    EXPECT_EQ(queue.bucketList(2).size(), 1);
    EXPECT_EQ(queue.size(), 2);

    EXPECT_EQ(tagOf(*queue.dequeueWithPrioWithLossProb(0.0f)), uint32_t{'C'});
    EXPECT_EQ(tagOf(*queue.dequeueWithPrioWithLossProb(0.0f)), uint32_t{'D'});
    EXPECT_TRUE(queue.isEmpty());
}

TEST(priorityQueue, ServiceDropsTheNewestPacketOfEveryClimbingBucket) {
    SystemLogCapture log;
    RecordingReleaser releaser;
    priorityQueue queue;
    queue.enqueue(makePacket(1, &releaser, 10), 10);
    queue.enqueue(makePacket(2, &releaser, 10), 10);
    for (const int priority : {9, 5, 2}) {
        const auto base = static_cast<uint32_t>(priority * 10);
        queue.enqueue(makePacket(base, &releaser, priority), 10);
        queue.enqueue(makePacket(base + 1, &releaser, priority), 10);
    }
    PacketPtr served = queue.dequeueWithPrioWithLossProb(2.0f);
    served->markSent();
    EXPECT_EQ(tagOf(*served), 1u);
    EXPECT_THAT(releaser.tags(), UnorderedElementsAre(91u, 51u, 21u));
    EXPECT_EQ(log.count("LossProb = 2.000000 => drop now a packet"), 3);
    EXPECT_EQ(queue.droppedByChance(), 3U);
    // The survivors climbed one bucket; bucket 9's joined the final queue behind packet 2.
    EXPECT_EQ(queue.finalPacketQueue().size(), 2);
    EXPECT_EQ(queue.bucketList(6).size(), 1);
    EXPECT_EQ(queue.bucketList(3).size(), 1);
    EXPECT_EQ(queue.size(), 4);
}

// A higher priority that refills the final queue after every service must not hold a lower
// one back for ever: each climb moves what fits, so the low packets arrive and are served.
TEST(priorityQueue, ASaturatingHighPriorityNeverStarvesALowOne) {
    SystemLogCapture log;
    priorityQueue queue;
    uint32_t high = 0;
    while (queue.enqueue(makePacket(high, nullptr, 10), 10)) {
        ++high;
    }
    for (uint32_t low = 1; low <= 3; ++low) {
        queue.enqueue(makePacket(1000 + low, nullptr, 0), 10);
    }
    std::vector<uint32_t> lowServed;
    for (int service = 0; service < 1000 && lowServed.size() < 3; ++service) {
        const uint32_t tag = tagOf(*queue.dequeueWithPrioWithLossProb(0.0f));
        if (tag >= 1000) {
            lowServed.push_back(tag);
        }
        queue.enqueue(makePacket(++high, nullptr, 10), 10);
    }
    EXPECT_THAT(lowServed, ElementsAre(1001u, 1002u, 1003u));
}

// Plain service climbs nothing; packets left in the buckets when priority service stops are
// still served, after the final queue and highest first, instead of being held for ever.
TEST(priorityQueue, PlainDequeueServesTheFinalQueueThenDrainsTheBuckets) {
    priorityQueue queue;
    queue.enqueue(makePacket(1, nullptr, 10), 10);
    queue.enqueue(makePacket(3, nullptr, 3), 10);
    queue.enqueue(makePacket(2, nullptr, 9), 10);
    EXPECT_EQ(tagOf(*queue.dequeue()), 1u);
    EXPECT_EQ(queue.bucketList(9).size(), 1);
    EXPECT_TRUE(queue.finalPacketQueue().isEmpty());
    EXPECT_EQ(tagOf(*queue.dequeue()), 2u);
    EXPECT_EQ(tagOf(*queue.dequeue()), 3u);
    EXPECT_TRUE(queue.isEmpty());
}

// The consumer sleeps before every packet here, in either kind of service: each arrival, in
// the final queue or a bucket, must wake it again (a lost wake-up leaves the test hanging).
TEST(priorityQueue, EveryArrivalInAnyQueueWakesTheSleepingConsumer) {
    priorityQueue queue;
    std::atomic<int> served{0};
    std::thread consumer([&] {
        for (;;) {
            PacketPtr packet =
                served.load() % 2 == 0 ? queue.dequeue() : queue.dequeueWithPrioWithLossProb(0.0f);
            if (packet == nullptr) {
                return;
            }
            served.fetch_add(1);
            served.notify_one();
        }
    });
    for (int round = 0; round < 200; ++round) {
        const int priority = round % 4 < 2 ? 5 : 2;
        queue.enqueue(makePacket(static_cast<uint32_t>(round), nullptr, priority), 5);
        served.wait(round);
    }
    queue.close();
    consumer.join();
    EXPECT_EQ(served.load(), 200);
}

// The reading thread and the data pacing thread at full speed, with random priorities and
// loss: every packet is served, dropped by the loss or refused, or released at shutdown.
TEST(priorityQueue, ProducerAndConsumerLoseNothing) {
    SystemLogCapture log;
    RecordingReleaser releaser;
    RandomSource random(7);
    constexpr int total = 20000;
    auto queue = std::make_unique<priorityQueue>(random);
    std::vector<uint32_t> served;
    std::thread consumer([&] {
        while (PacketPtr packet = queue->dequeueWithPrioWithLossProb(0.01f)) {
            packet->markSent();
            served.push_back(tagOf(*packet));
        }
    });
    for (int i = 0; i < total; ++i) {
        const int priority = i % 11;
        const int runningMax = (i / 7) % 11;
        queue->enqueue(makePacket(static_cast<uint32_t>(i), &releaser, priority), runningMax);
    }
    queue->close();
    consumer.join();
    queue.reset();
    expectEachTagOnce({served, releaser.tags()}, total);
}

}  // namespace
}  // namespace quellbox
