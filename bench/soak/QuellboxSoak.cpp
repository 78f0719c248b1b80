// A long run of the whole engine over the simulated network: clients come and go, Priority
// Mode is switched on and off every few seconds and the rate changes every second. It checks
// that resident memory grows no more than the queues can hold and that every diverted packet was
// either written back or dropped (counted by the simulated kernel), and prints its figures.
//
//   quellbox_soak [minutes, default 30] [clients, default 120]
//
// Build it under ThreadSanitizer (bench/soak/run.sh does both) to look for data races.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "engine/Queue.h"
#include "engine/RandomSource.h"
#include "engine/ThroughputLimiter.h"
#include "engine/priorityQueue.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "platform/ThreadRunLoop.h"
#include "platform/UserDefaults.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"
#include "settings/Service.h"
#include "simulation/SimTraffic.h"
#include "simulation/SimulationRun.h"

using namespace quellbox;
using Clock = std::chrono::steady_clock;

namespace {

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The most the engine and the simulated socket can hold: every queue full of the largest
// packets (the priority queue's buckets and final queue, the two acknowledgement queues) and
// every slot of the socket's queue, which keep their buffers; and as much again for the
// allocator's arenas and the threads' stacks.
long heldBoundKiB() {
    constexpr long kLargestPacket = 1500;
    const long queues = priorityQueue::bucketCount + 1 + 2;
    const long queued = queues * Queue::capacity * kLargestPacket;
    const long slots = static_cast<long>(SimKernel::Options{}.queueCapacity) * kLargestPacket;
    return 2 * (queued + slots) / 1024;
}

// Clients with staggered lives across the whole run, a few of every kind.
std::string scenarioText(int clients, double seconds, std::mt19937& random) {
    std::string text = "service 6700 Server download\nservice 6701 Second\n";
    std::uniform_real_distribution<double> start(0.0, seconds * 0.9);
    std::uniform_real_distribution<double> life(5.0, 90.0);
    const char* kinds[] = {"download", "download", "download", "upload", "outgoing"};
    for (int i = 0; i < clients; ++i) {
        const double from = start(random);
        const double to = std::min(seconds, from + life(random));
        const std::string kind = kinds[i % 5];
        const int port = kind == "outgoing" ? 8080 : 6700 + i % 2;
        text += "client 192.0.2." + std::to_string(10 + i % 240) + " " + kind +
                " port=" + std::to_string(port) + " login=user" + std::to_string(i) +
                " window=" + std::to_string(4 + i % 28) +
                " demand=" + std::to_string(50 + (i * 37) % 400) +
                " priority=" + std::to_string(i % 11) + " start=" + std::to_string(from) +
                " stop=" + std::to_string(to) + "\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 30.0;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 120;
    const double seconds = minutes * 60.0;
    SystemLog::setEchoToStandardError(false);

    char pattern[] = "/tmp/quellbox-soak-XXXXXX";
    const std::filesystem::path folder = mkdtemp(pattern);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    setenv("QUELLBOX_SIM_STATE", (folder / "sim.state").c_str(), 1);
    SimKernel kernel(SimKernel::Options{folder / "sim.state"});
    auto store = std::make_shared<UserDefaults>(folder / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store);
    Preferences preferences(store);

    std::mt19937 random(42);
    std::ofstream(folder / "soak.scenario") << scenarioText(clients, seconds, random);
    std::string error;
    auto run =
        SimulationRun::prepare((folder / "soak.scenario").string(), preferences, kernel, error);
    if (!run) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    NotificationCenter notifications;
    auto priorities = std::make_shared<defaultPriorityParser>(preferences, notifications);
    IPMode ipmode(preferences, [priorities] { return priorities; });
    ThreadRunLoop runLoop;
    runLoop.start();
    RandomSource packetLoss(7);
    const auto backend = PacketBackend::simulated(kernel);
    auto engine = std::make_unique<ThroughputLimiter>(ThroughputLimiter::Collaborators{
        backend.makeDivertSocket(), std::make_unique<IpfwRule>(backend.programs()), runLoop,
        preferences, ipmode, notifications, packetLoss});
    if (!engine->waitUntilStarted(std::chrono::seconds(30))) {
        std::fprintf(stderr, "soak: the engine did not start\n");
        return 1;
    }
    auto first = std::make_shared<Service>("Server", 6700);
    auto second = std::make_shared<Service>("Second", 6701);
    engine->addDLService(first);
    engine->addULService(second);
    engine->setACKPause(2000);
    run->traffic().start();

    const long baseline = residentKiB();
    long peak = baseline;
    std::uniform_real_distribution<float> rate(5.0F, 5000.0F);
    const auto began = Clock::now();
    int tick = 0;
    std::printf("soak: %.1f minutes, %d clients, resident at start %ld KiB\n", minutes, clients,
                baseline);
    while (Clock::now() - began < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ++tick;
        engine->setDATARate(tick % 17 == 0 ? -1.0F : rate(random));
        if (tick % 4 == 0) {
            ipmode.activate(!ipmode.isActivated());
        }
        peak = std::max(peak, residentKiB());
        if (tick % 60 == 0) {
            const auto counters = kernel.counters();
            std::printf(
                "soak: %4d s  diverted %llu  written back %llu  dropped %llu  resident %ld KiB "
                "(peak %ld)\n",
                tick, static_cast<unsigned long long>(counters.diverted),
                static_cast<unsigned long long>(counters.writtenBack),
                static_cast<unsigned long long>(counters.dropped), residentKiB(), peak);
            std::fflush(stdout);
        }
    }
    run->traffic().stop();
    engine->removeULService(second);
    engine->removeULService(first);
    engine.reset();  // releases whatever is still queued
    runLoop.stop();

    const auto counters = kernel.counters();
    const unsigned long long accounted =
        counters.writtenBack + counters.dropped + counters.flushedOnClose;
    std::printf("soak: done after %d s\n", tick);
    std::printf(
        "  packets diverted %llu, written back %llu, dropped %llu, flushed at close %llu, passed "
        "%llu, failed open %llu\n",
        static_cast<unsigned long long>(counters.diverted),
        static_cast<unsigned long long>(counters.writtenBack),
        static_cast<unsigned long long>(counters.dropped),
        static_cast<unsigned long long>(counters.flushedOnClose),
        static_cast<unsigned long long>(counters.passed),
        static_cast<unsigned long long>(counters.failedOpen));
    std::printf("  resident at start %ld KiB, peak %ld KiB (+%ld KiB; bound %ld KiB)\n", baseline,
                peak, peak - baseline, heldBoundKiB());
    std::filesystem::remove_all(folder);
    int status = 0;
    if (!QUELLBOX_SOAK_SANITIZED && peak - baseline > heldBoundKiB()) {
        std::printf(
            "  FAILED: resident memory grew by %ld KiB, beyond the %ld KiB the queues hold\n",
            peak - baseline, heldBoundKiB());
        status = 1;
    }
    if (accounted != counters.diverted) {
        std::printf("  FAILED: %llu diverted packets are unaccounted for\n",
                    static_cast<unsigned long long>(counters.diverted) - accounted);
        return 1;
    }
    std::printf("  every diverted packet was written back or dropped\n");
    return status;
}
