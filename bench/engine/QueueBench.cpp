// Costs of the engine's packet containers: making and destroying packets, handing them from a
// producer thread to a consumer thread through a Queue, a priority service with every bucket
// climbing, and the memory that full queues take against the bytes they hold.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

#include "engine/Packet.h"
#include "engine/Queue.h"
#include "engine/priorityQueue.h"

namespace quellbox {
namespace {

// The reading thread's way of making a packet: one reusable read buffer, then a copy of the
// bytes actually read.
PacketPtr packetFrom(const std::vector<uint8_t>& readBuffer, int32_t size, int32_t priority) {
    auto packet = std::make_unique<Packet>();
    packet->setPacketSize(size);
    std::memcpy(packet->rawPacket(), readBuffer.data(), static_cast<size_t>(size));
    packet->setPriority(priority);
    return packet;
}

// Resident set size in bytes, from /proc/self/statm; -1 if it cannot be read.
long residentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        return -1;
    }
    long pages = 0;
    long resident = 0;
    const int fields = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return fields == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

// Every queue of the engine full: the two acknowledgement queues and the priority queue's
// eleven, 200 packets of 1500 bytes each. Runs first, once, so that the heap has not yet
// been grown and kept by the other benchmarks.
void BM_MemoryWithEveryQueueFull(benchmark::State& state) {
    const std::vector<uint8_t> readBuffer(Packet::maximumSize, 0x5A);
    constexpr int32_t packetBytes = 1500;
    for (auto _ : state) {
        const long residentBefore = residentBytes();
        const size_t heapBefore = mallinfo2().uordblks;
        auto firstACK = std::make_unique<Queue>();
        auto secondACK = std::make_unique<Queue>();
        auto data = std::make_unique<priorityQueue>();
        long queued = 0;
        for (int i = 0; i < Queue::capacity; ++i) {
            firstACK->enqueue(packetFrom(readBuffer, packetBytes, 5));
            secondACK->enqueue(packetFrom(readBuffer, packetBytes, 5));
            for (int priority = 0; priority <= Packet::PRIORITY_MAX; ++priority) {
                data->enqueue(packetFrom(readBuffer, packetBytes, priority), Packet::PRIORITY_MAX);
            }
        }
        queued =
            static_cast<long>(firstACK->size() + secondACK->size() + data->size()) * packetBytes;
        const long resident = residentBytes() - residentBefore;
        const auto heap = static_cast<long>(mallinfo2().uordblks - heapBefore);
        state.counters["queued_packets"] = static_cast<double>(queued / packetBytes);
        state.counters["queued_bytes"] = static_cast<double>(queued);
        state.counters["resident_bytes"] = static_cast<double>(resident);
        state.counters["heap_bytes"] = static_cast<double>(heap);
        state.counters["resident_per_queued"] =
            static_cast<double>(resident) / static_cast<double>(queued);
        state.counters["heap_per_queued"] = static_cast<double>(heap) / static_cast<double>(queued);
    }
}
BENCHMARK(BM_MemoryWithEveryQueueFull)->Iterations(1)->Unit(benchmark::kMillisecond);

// Making a packet from the read buffer and destroying it, on one thread.
void BM_PacketLifecycle(benchmark::State& state) {
    const std::vector<uint8_t> readBuffer(Packet::maximumSize, 0x5A);
    const auto size = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        PacketPtr packet = packetFrom(readBuffer, size, 5);
        benchmark::DoNotOptimize(packet->rawPacket());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacketLifecycle)->Arg(40)->Arg(1500);

// The reading thread's hand-over to a pacing thread: this thread makes and enqueues packets,
// a consumer thread dequeues and destroys them. Credits (one per free slot) keep the producer
// from overrunning the 200-packet queue, so that no packet is refused and every one is
// counted as handed over.
void BM_QueueHandOverBetweenTwoThreads(benchmark::State& state) {
    const std::vector<uint8_t> readBuffer(Packet::maximumSize, 0x5A);
    const auto size = static_cast<int32_t>(state.range(0));
    Queue queue;
    std::counting_semaphore<Queue::capacity> freeSlots(Queue::capacity);
    std::thread consumer([&] {
        while (PacketPtr packet = queue.dequeue()) {
            packet.reset();
            freeSlots.release();
        }
    });
    for (auto _ : state) {
        freeSlots.acquire();
        queue.enqueue(packetFrom(readBuffer, size, 5));
    }
    queue.close();
    consumer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueHandOverBetweenTwoThreads)->Arg(40)->Arg(1500)->UseRealTime();

// A priority service in its dearest case: the final queue holds a packet and all ten buckets
// hold one each, so the service makes ten transfers that each draw a number and move a packet.
// Each iteration feeds one packet into bucket 0, which keeps that state.
void BM_PriorityServiceWithEveryBucketClimbing(benchmark::State& state) {
    const std::vector<uint8_t> readBuffer(Packet::maximumSize, 0x5A);
    priorityQueue queue;
    queue.enqueue(packetFrom(readBuffer, 1500, 10), 10);
    for (int priority = 0; priority < priorityQueue::bucketCount; ++priority) {
        queue.enqueue(packetFrom(readBuffer, 1500, priority), 10);
    }
    for (auto _ : state) {
        queue.enqueue(packetFrom(readBuffer, 1500, 0), 10);
        PacketPtr served = queue.dequeueWithPrioWithLossProb(0.0f);
        benchmark::DoNotOptimize(served.get());
    }
    state.counters["queued_after"] = queue.size();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PriorityServiceWithEveryBucketClimbing);

// The service outside Priority Mode: every packet through the final queue, no bucket moves.
void BM_PriorityQueueFinalOnly(benchmark::State& state) {
    const std::vector<uint8_t> readBuffer(Packet::maximumSize, 0x5A);
    priorityQueue queue;
    for (auto _ : state) {
        queue.enqueue(packetFrom(readBuffer, 1500, 5), 5);
        PacketPtr served = queue.dequeue();
        benchmark::DoNotOptimize(served.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PriorityQueueFinalOnly);

}  // namespace
}  // namespace quellbox

BENCHMARK_MAIN();
