// Cost of one packet through the simulated kernel: inject (rule match, queue to the
// divert socket), receive, write back onto the wire. The engine's sim target is 500,000
// packets per second through this path.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "firewall/SimDivertSocket.h"
#include "firewall/SimFirewallState.h"
#include "firewall/SimKernel.h"

namespace {

using namespace quellbox;

std::vector<std::uint8_t> dataPacket() {
    std::vector<std::uint8_t> packet(1500, 0x5a);
    packet[0] = 0x45;
    packet[9] = 6;
    inet_pton(AF_INET, "192.0.2.1", &packet[12]);
    inet_pton(AF_INET, "192.0.2.7", &packet[16]);
    packet[20] = 0;
    packet[21] = 80;
    packet[32] = 0x50;
    return packet;
}

struct Setup {
    Setup() {
        path = std::filesystem::temp_directory_path() /
               ("quellbox-bench-" + std::to_string(getpid()) + ".state");
        SimFirewallState::update(path, [](SimFirewallState& state) {
            state.rules.clear();
            state.addRule(*IpfwCommand::parseListingLine(
                "65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0", nullptr));
            return true;
        });
        SimKernel::Options options;
        options.statePath = path;
        kernel = std::make_unique<SimKernel>(options);
        socket = std::make_unique<SimDivertSocket>(*kernel);
        socket->open();
        socket->bind(DivertSocket::kDivertPort);
    }
    ~Setup() {
        socket.reset();
        std::filesystem::remove(path);
        std::filesystem::remove(path.string() + ".lock");
    }
    std::filesystem::path path;
    std::unique_ptr<SimKernel> kernel;
    std::unique_ptr<SimDivertSocket> socket;
};

void BM_SimPassthroughOneThread(benchmark::State& state) {
    Setup setup;
    const auto packet = dataPacket();
    std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
    for (auto _ : state) {
        setup.kernel->inject(packet.data(), packet.size());
        sockaddr_in token{};
        socklen_t tokenLength = 0;
        const ssize_t length =
            setup.socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
        setup.socket->send(buffer.data(), static_cast<std::size_t>(length), token, tokenLength);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packet.size()));
}
BENCHMARK(BM_SimPassthroughOneThread);

// A producer thread injects while the benchmark thread reads and writes back, as the
// simulated clients and the engine's reading thread will. Like a TCP sender, the producer
// backs off (yields) when the queue overflows instead of spinning on a full queue.
void BM_SimPassthroughTwoThreads(benchmark::State& state) {
    Setup setup;
    const auto packet = dataPacket();
    std::atomic<bool> running{true};
    std::thread producer([&] {
        while (running.load(std::memory_order_relaxed)) {
            if (setup.kernel->inject(packet.data(), packet.size()) ==
                SimKernel::Route::FailedOpen) {
                std::this_thread::yield();
            }
        }
    });
    std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
    for (auto _ : state) {
        sockaddr_in token{};
        socklen_t tokenLength = 0;
        const ssize_t length =
            setup.socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
        setup.socket->send(buffer.data(), static_cast<std::size_t>(length), token, tokenLength);
    }
    running = false;
    setup.socket->close();
    producer.join();
    state.SetItemsProcessed(state.iterations());
    state.counters["failed_open"] = static_cast<double>(setup.kernel->counters().failedOpen);
}
BENCHMARK(BM_SimPassthroughTwoThreads)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
