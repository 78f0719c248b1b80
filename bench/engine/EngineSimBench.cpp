// The whole engine over the simulated kernel: pacing accuracy from 1 KiB/s to 100 MiB/s, the
// path's ceiling and CPU per packet with pacing off, acknowledgement latency under a
// saturated data path, memory with the queues full, and Priority Mode's shares, losses and
// cost. Run: engine_sim_bench [pacing|ceiling|latency|memory|priority]... (all by default).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/RandomSource.h"
#include "engine/ThroughputLimiter.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "firewall/TcpPacketBuilder.h"
#include "platform/AtomicFile.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "platform/ThreadRunLoop.h"
#include "platform/UserDefaults.h"
#include "prioritymode/GenericIPTable.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/UserInfo.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr int kPort = 6700;
constexpr int kDlPort = 6800;
constexpr std::size_t kDataSize = 1500;

double seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long residentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        return -1;
    }
    long pages = 0;
    long resident = 0;
    const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

// One engine over its own simulated kernel, settings and folder; the engine's socket is the
// simulator's, its rule manager works through the simulator's tools.
class SimRig {
public:
    SimRig() {
        char pattern[] = "/tmp/quellbox-bench-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("QUELLBOX_SIM_STATE", (folder_ / "sim.state").c_str(), 1);
        kernel_ = std::make_unique<SimKernel>(SimKernel::Options{folder_ / "sim.state"});
        runLoop_.start();
        store_ = std::make_shared<UserDefaults>(folder_ / "Quellbox.plist");
        RegisteredDefaults::registerWith(*store_);
        preferences_ = std::make_unique<Preferences>(store_);
        AtomicFile::write(folder_ / "Downloads", "");
        preferences_->setObject(PlistValue((folder_ / "Downloads").string()), keys::logPath);
        priorities_ = std::make_shared<defaultPriorityParser>(*preferences_, notifications_);
        ipmode_ = std::make_unique<IPMode>(*preferences_, [p = priorities_] { return p; });
        const auto backend = PacketBackend::simulated(*kernel_);
        engine_ = std::make_unique<ThroughputLimiter>(ThroughputLimiter::Collaborators{
            backend.makeDivertSocket(), std::make_unique<IpfwRule>(backend.programs()), runLoop_,
            *preferences_, *ipmode_, notifications_, random_});
        if (!engine_->waitUntilStarted(10s)) {
            std::fprintf(stderr, "the engine did not start\n");
            std::exit(1);
        }
        engine_->addULService(std::make_shared<Service>("Server", kPort));
        engine_->addDLService(std::make_shared<Service>("Download", kDlPort));
        kernel_->syncRules();
    }
    ~SimRig() {
        engine_.reset();
        runLoop_.stop();
        std::filesystem::remove_all(folder_);
    }

    ThroughputLimiter& engine() { return *engine_; }
    SimKernel& kernel() { return *kernel_; }
    IPMode& ipmode() { return *ipmode_; }

    static std::vector<std::uint8_t> packet(int port, std::uint32_t client, std::size_t length,
                                            std::uint16_t tag = 0) {
        TcpPacketBuilder builder;
        builder.source = TcpPacketBuilder::address("192.0.2.1");
        builder.sourcePort = static_cast<std::uint16_t>(port);
        builder.destination = client;
        builder.destinationPort = 50000;
        builder.identification = tag;
        return builder.build(length);
    }

private:
    std::filesystem::path folder_;
    std::unique_ptr<SimKernel> kernel_;
    ThreadRunLoop runLoop_;
    std::shared_ptr<UserDefaults> store_;
    std::unique_ptr<Preferences> preferences_;
    std::shared_ptr<defaultPriorityParser> priorities_;
    std::unique_ptr<IPMode> ipmode_;
    NotificationCenter notifications_;
    RandomSource random_{12345};
    std::unique_ptr<ThroughputLimiter> engine_;
};

const std::uint32_t kClientA = TcpPacketBuilder::address("192.0.2.10");
const std::uint32_t kClientB = TcpPacketBuilder::address("192.0.2.11");

// Keeps `window` DATA packets in flight: one new packet for every one that leaves, like a
// TCP sender with a fixed window, so that the engine's queue never runs dry nor overflows.
struct WindowRun {
    std::uint64_t departures = 0;
    std::uint64_t bytes = 0;  // IP bytes of all departures after the first
    double span = 0;          // first to last departure, seconds
    double engineCpu = 0;     // process CPU minus the feeder's, seconds
    double feederCpu = 0;
};

WindowRun runWindow(SimRig& rig, int window, double duration, std::vector<std::uint32_t> clients) {
    // The credits sit under the same mutex as the departure counts, and the feeder sleeps on
    // a condition while it has none: GCC 12's timed semaphore wait spins with sched_yield
    // instead of sleeping, which on a two-core machine took a whole core from the engine.
    std::mutex mutex;
    std::condition_variable creditFreed;
    int credits = window;
    bool stop = false;
    SteadyClock::time_point first{};
    SteadyClock::time_point last{};
    std::uint64_t departures = 0;
    std::uint64_t bytes = 0;
    const auto observer = rig.kernel().wire().subscribe(
        [&](const std::uint8_t*, std::size_t length, SteadyClock::time_point when) {
            if (length != kDataSize) {
                return;
            }
            bool wake = false;
            {
                std::lock_guard guard(mutex);
                if (departures == 0) {
                    first = when;
                } else {
                    bytes += length;
                }
                last = when;
                ++departures;
                wake = credits++ == 0;  // the feeder sleeps only without credits
            }
            if (wake) {
                creditFreed.notify_one();
            }
        });
    std::vector<std::vector<std::uint8_t>> packets;
    for (const auto client : clients) {
        packets.push_back(SimRig::packet(kPort, client, kDataSize));
    }
    double feederCpu = 0;
    const double cpuBefore = processCpuSeconds();
    std::thread feeder([&] {
        const double start = threadCpuSeconds();
        std::size_t next = 0;
        for (;;) {
            {
                std::unique_lock guard(mutex);
                creditFreed.wait(guard, [&] { return credits > 0 || stop; });
                if (stop) {
                    break;
                }
                --credits;
            }
            const auto& bytesToSend = packets[next];
            next = (next + 1) % packets.size();
            rig.kernel().inject(bytesToSend.data(), bytesToSend.size());
        }
        feederCpu = threadCpuSeconds() - start;
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(duration));
    {
        std::lock_guard guard(mutex);
        stop = true;
    }
    creditFreed.notify_one();
    feeder.join();
    const double cpuAfter = processCpuSeconds();
    rig.kernel().wire().unsubscribe(observer);
    WindowRun run;
    std::lock_guard guard(mutex);
    run.departures = departures;
    run.bytes = bytes;
    run.span = seconds(last - first);
    run.feederCpu = feederCpu;
    run.engineCpu = cpuAfter - cpuBefore - feederCpu;
    return run;
}

void pacingAccuracy() {
    std::printf("== pacing accuracy (1500-byte packets, IP bytes, first to last departure)\n");
    std::printf("%12s %10s %8s %14s %14s %9s\n", "DATARate", "window", "packets", "target B/s",
                "achieved B/s", "error");
    const struct {
        double kib;
        const char* label;
        int window;
        double duration;
    } rates[] = {{1, "1 KiB/s", 2, 7.0},        {10, "10 KiB/s", 4, 5.5},
                 {100, "100 KiB/s", 8, 5.0},    {1024, "1 MiB/s", 32, 5.0},
                 {10240, "10 MiB/s", 100, 5.0}, {102400, "100 MiB/s", 150, 5.0}};
    for (const auto& rate : rates) {
        SimRig rig;
        rig.engine().setDATARate(static_cast<float>(rate.kib));
        const WindowRun run = runWindow(rig, rate.window, rate.duration, {kClientA});
        const double target = rate.kib * 1024.0;
        const double achieved = run.span > 0 ? static_cast<double>(run.bytes) / run.span : 0;
        std::printf("%12s %10d %8llu %14.0f %14.0f %+8.3f%%\n", rate.label, rate.window,
                    static_cast<unsigned long long>(run.departures), target, achieved,
                    (achieved / target - 1.0) * 100.0);
        std::fflush(stdout);
    }
}

void ceiling(bool priorityMode, const char* title) {
    SimRig rig;
    rig.engine().setDATARate(-1.0F);
    if (priorityMode) {
        rig.ipmode().activate(true);
        rig.ipmode().ipTable()->linkThisUserInfo(
            std::make_shared<UserInfo>("Server", 10, "A", "a", std::chrono::system_clock::now()),
            kClientA);
        rig.ipmode().ipTable()->linkThisUserInfo(
            std::make_shared<UserInfo>("Server", 0, "B", "b", std::chrono::system_clock::now()),
            kClientB);
    }
    runWindow(rig, 150, 0.5, {kClientA, kClientB});  // warm up
    const WindowRun run = runWindow(rig, 150, 4.0, {kClientA, kClientB});
    const double perSecond = static_cast<double>(run.departures - 1) / run.span;
    std::printf(
        "%-28s %10.0f packets/s   engine CPU %6.2f us/packet   feeder (injection) CPU %5.2f "
        "us/packet\n",
        title, perSecond, run.engineCpu / static_cast<double>(run.departures) * 1e6,
        run.feederCpu / static_cast<double>(run.departures) * 1e6);
    std::fflush(stdout);
}

void ackLatency() {
    std::printf(
        "== acknowledgement latency: injection to wire, direct path, data saturated at 10 MiB/s\n");
    SimRig rig;
    rig.engine().setDATARate(10240.0F);
    constexpr int kSamples = 3000;
    std::vector<SteadyClock::time_point> injected(kSamples);
    std::vector<double> latency(kSamples, -1.0);
    const auto observer = rig.kernel().wire().subscribe(
        [&](const std::uint8_t* bytes, std::size_t length, SteadyClock::time_point when) {
            if (length == 40) {
                const int tag = (bytes[4] << 8) | bytes[5];
                if (tag < kSamples) {
                    latency[static_cast<std::size_t>(tag)] =
                        seconds(when - injected[static_cast<std::size_t>(tag)]);
                }
            }
        });
    std::thread acks([&] {
        for (int i = 0; i < kSamples; ++i) {
            const auto packet = SimRig::packet(kPort, kClientA, 40, static_cast<std::uint16_t>(i));
            injected[static_cast<std::size_t>(i)] = SteadyClock::now();
            rig.kernel().inject(packet.data(), packet.size());
            std::this_thread::sleep_for(1ms);
        }
    });
    const WindowRun data = runWindow(rig, 150, 4.0, {kClientA});
    acks.join();
    std::this_thread::sleep_for(100ms);
    rig.kernel().wire().unsubscribe(observer);
    std::vector<double> seen;
    for (const double value : latency) {
        if (value >= 0) {
            seen.push_back(value);
        }
    }
    std::sort(seen.begin(), seen.end());
    if (seen.empty()) {
        std::printf("no acknowledgement came back\n");
        return;
    }
    std::printf(
        "acks %zu/%d   median %.1f us   p99 %.1f us   max %.1f us   (data meanwhile %.0f B/s)\n",
        seen.size(), kSamples, seen[seen.size() / 2] * 1e6, seen[seen.size() * 99 / 100] * 1e6,
        seen.back() * 1e6, static_cast<double>(data.bytes) / data.span);
}

void memory() {
    std::printf("== memory with the queues full\n");
    SimRig rig;
    rig.ipmode().activate(true);
    // Eleven clients at priorities 0..10: the running maximum is 10, so each fills its own
    // queue of the priority queue (priority 10 the final queue, 0..9 the buckets).
    for (int p = 0; p <= 10; ++p) {
        rig.ipmode().ipTable()->linkThisUserInfo(
            std::make_shared<UserInfo>("Server", p, "C", "c", std::chrono::system_clock::now()),
            kClientA + static_cast<std::uint32_t>(p));
    }
    // Warm-up: as many packets as will be held pass once, so that the simulated kernel's
    // socket slots (which keep their buffers) are all made before the first measure.
    rig.engine().setDATARate(-1.0F);
    const auto warm = SimRig::packet(kPort, kClientA + 10, kDataSize);
    for (int i = 0; i < 4200; ++i) {  // more than the 4096 slots
        rig.kernel().inject(warm.data(), warm.size());
        if (i % 100 == 99) {
            while (rig.kernel().wire().totalPackets() < static_cast<std::uint64_t>(i + 1)) {
                std::this_thread::sleep_for(1ms);
            }
        }
    }
    const std::uint64_t warmed = rig.engine().counters().read;
    rig.engine().setDATARate(0.0001F);  // the first packet leaves, then the data path stands
    rig.engine().setACKPause(600e6F);   // the slowed acknowledgements stand too
    auto prime = SimRig::packet(kPort, kClientA + 10, kDataSize);
    rig.kernel().inject(prime.data(), prime.size());
    std::this_thread::sleep_for(200ms);
    const long before = residentBytes();
    SystemLogCapture quiet;
    std::uint64_t queuedBytes = 0;
    for (int p = 0; p <= 10; ++p) {
        const auto packet =
            SimRig::packet(kPort, kClientA + static_cast<std::uint32_t>(p), kDataSize);
        for (int i = 0; i < 200; ++i) {
            rig.kernel().inject(packet.data(), packet.size());
        }
        queuedBytes += 200 * kDataSize;
    }
    const auto ack = SimRig::packet(kDlPort, kClientA, 40);
    for (int i = 0; i < 201; ++i) {  // one waits in the pause, 200 in the queue
        rig.kernel().inject(ack.data(), ack.size());
    }
    queuedBytes += 201 * 40;
    while (rig.engine().counters().read < warmed + 11 * 200 + 201 + 1) {
        std::this_thread::sleep_for(10ms);
    }
    const long after = residentBytes();
    std::printf(
        "packets held %d   bytes held %llu   resident before %ld KiB, after %ld KiB: +%ld KiB "
        "(%.2f x the bytes held)\n",
        11 * 200 + 201, static_cast<unsigned long long>(queuedBytes), before / 1024, after / 1024,
        (after - before) / 1024,
        static_cast<double>(after - before) / static_cast<double>(queuedBytes));
}

void priorityShares() {
    std::printf(
        "== Priority Mode: two clients offering 60%% of DATARate each, 1000 KiB/s, loss = rate / "
        "5000\n");
    const struct {
        int a;
        int b;
    } settings[] = {{10, 0}, {5, 5}};
    for (const auto& setting : settings) {
        SimRig rig;
        SystemLogCapture log;
        rig.ipmode().activate(true);
        rig.ipmode().ipTable()->linkThisUserInfo(
            std::make_shared<UserInfo>("Server", setting.a, "A", "a",
                                       std::chrono::system_clock::now()),
            kClientA);
        rig.ipmode().ipTable()->linkThisUserInfo(
            std::make_shared<UserInfo>("Server", setting.b, "B", "b",
                                       std::chrono::system_clock::now()),
            kClientB);
        constexpr double kRate = 1000.0;
        rig.engine().setDATARate(static_cast<float>(kRate));
        const auto toA = SimRig::packet(kPort, kClientA, kDataSize);
        const auto toB = SimRig::packet(kPort, kClientB, kDataSize);
        // Offered load: 1.2 x the rate in all, alternating A and B, on a fixed schedule.
        const auto interval = std::chrono::duration<double>(kDataSize / (kRate * 1024.0 * 1.2));
        const auto start = SteadyClock::now();
        const auto end = start + 6s;
        std::uint64_t offered = 0;
        for (auto next = start; next < end;
             next += std::chrono::duration_cast<SteadyClock::duration>(interval)) {
            std::this_thread::sleep_until(next);
            const auto& packet = (offered % 2 == 0) ? toA : toB;
            rig.kernel().inject(packet.data(), packet.size());
            ++offered;
        }
        const std::uint64_t bytesA = rig.kernel().wire().bytesTo(kClientA);
        const std::uint64_t bytesB = rig.kernel().wire().bytesTo(kClientB);
        const auto counters = rig.kernel().counters();
        const int randomDrops = log.count("LossProb = 0.200000 => drop now a packet");
        const int refused = log.count("will release this packet since this queue is full !");
        std::printf(
            "A at %2d, B at %2d: A %5.1f%% of the upload, B %5.1f%%   (%.0f KiB/s sent)   offered "
            "%llu, "
            "random drops %d, refused by a full queue %d, dropped in all %llu\n",
            setting.a, setting.b,
            100.0 * static_cast<double>(bytesA) / static_cast<double>(bytesA + bytesB),
            100.0 * static_cast<double>(bytesB) / static_cast<double>(bytesA + bytesB),
            static_cast<double>(bytesA + bytesB) / 1024.0 / 6.0,
            static_cast<unsigned long long>(offered), randomDrops, refused,
            static_cast<unsigned long long>(counters.dropped));
        std::fflush(stdout);
    }
    std::printf("== Priority Mode cost: the path with pacing off, Priority Mode off and on\n");
    ceiling(false, "Priority Mode off");
    ceiling(true, "Priority Mode on (10 and 0)");
}

}  // namespace
}  // namespace quellbox

int main(int argc, char** argv) {
    using namespace quellbox;
    std::vector<std::string> parts(argv + 1, argv + argc);
    if (parts.empty()) {
        parts = {"pacing", "ceiling", "latency", "memory", "priority"};
    }
    for (const auto& part : parts) {
        if (part == "pacing") {
            pacingAccuracy();
        } else if (part == "ceiling") {
            std::printf("== the path's ceiling: DATARate -1, 1500-byte packets, window of 150\n");
            ceiling(false, "pacing off");
        } else if (part == "latency") {
            ackLatency();
        } else if (part == "memory") {
            memory();
        } else if (part == "priority") {
            priorityShares();
        } else {
            std::fprintf(stderr, "unknown part %s\n", part.c_str());
            return 2;
        }
    }
    return 0;
}
