#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimDivertSocket.h"
#include "firewall/SimFirewallState.h"
#include "firewall/SimKernel.h"
#include "firewall/StaleRules.h"
#include "firewall/TcpPacketBuilder.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::TempDir;

// Only a failure guard: a packet that should be queued is there at once.
constexpr std::chrono::microseconds kGuard = std::chrono::seconds(10);

// An IPv4/TCP packet with `payload` bytes counting up from `seed`.
std::vector<std::uint8_t> tcpPacket(const char* source, std::uint16_t sourcePort,
                                    const char* destination, std::uint16_t destinationPort,
                                    std::size_t payload, std::uint8_t seed = 0) {
    return TcpPacketBuilder{.source = TcpPacketBuilder::address(source),
                            .sourcePort = sourcePort,
                            .destination = TcpPacketBuilder::address(destination),
                            .destinationPort = destinationPort}
        .build(TcpPacketBuilder::kHeadersSize + payload, seed);
}

// One packet taken from a socket: its bytes (empty when the receive failed) and token.
struct Received {
    std::vector<std::uint8_t> bytes;
    ssize_t length = 0;
    sockaddr_in token{};
    socklen_t tokenLength = 0;
};

Received receiveOne(DivertSocket& socket, std::size_t capacity = DivertSocket::kMaxPacketSize) {
    Received got;
    got.bytes.resize(capacity);
    got.length = socket.receive(got.bytes.data(), capacity, &got.token, &got.tokenLength);
    got.bytes.resize(got.length > 0 ? static_cast<std::size_t>(got.length) : 0);
    return got;
}

class SimKernelTest : public ::testing::Test {
protected:
    SimKernelTest() {
        // The tools find the state file through the environment, as in the application.
        ::setenv("QUELLBOX_SIM_STATE", statePath().c_str(), 1);
    }

    std::filesystem::path statePath() const { return folder_ / "sim.state"; }

    SimKernel::Options options(std::size_t capacity = 64) const {
        SimKernel::Options result;
        result.statePath = statePath();
        result.queueCapacity = capacity;
        result.ruleCheckInterval = std::chrono::nanoseconds(0);
        return result;
    }

    void changeState(const std::function<void(SimFirewallState&)>& change) const {
        ASSERT_TRUE(SimFirewallState::update(statePath(), [&](SimFirewallState& state) {
            change(state);
            return true;
        }));
    }

    void writeRules(const std::vector<std::string>& rules) const {
        changeState([&](SimFirewallState& state) {
            for (const auto& line : rules) {
                const auto rule = IpfwCommand::parseListingLine(line, nullptr);
                ASSERT_TRUE(rule.has_value()) << line;
                state.addRule(*rule);
            }
        });
    }

    static std::unique_ptr<SimDivertSocket> boundSocket(SimKernel& kernel) {
        auto socket = std::make_unique<SimDivertSocket>(kernel);
        EXPECT_EQ(socket->open(), 0);
        EXPECT_EQ(socket->bind(DivertSocket::kDivertPort), 0);
        return socket;
    }

    TempDir folder_;
};

TEST_F(SimKernelTest, ServerAndClientRulesDivertTheirPacketsOnly) {
    writeRules({"65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0",
                "65533 divert 6715 tcp from 192.0.2.1 to any 8080 via sim0"});
    SimKernel kernel(options());
    auto socket = boundSocket(kernel);

    using Route = SimKernel::Route;
    const auto served = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 100);
    EXPECT_EQ(kernel.inject(served.data(), served.size()), Route::Diverted);
    EXPECT_EQ(kernel.inject(tcpPacket("192.0.2.1", 40000, "192.0.2.8", 8080, 10).data(), 50),
              Route::Diverted);
    // Other port, other source address, or another protocol: straight to the wire.
    auto udp = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 10);
    udp[9] = 17;
    for (const auto& other : {tcpPacket("192.0.2.1", 81, "192.0.2.7", 50000, 10),
                              tcpPacket("192.0.2.9", 80, "192.0.2.7", 50000, 10),
                              tcpPacket("192.0.2.1", 50000, "192.0.2.7", 80, 10), udp}) {
        EXPECT_EQ(kernel.inject(other.data(), other.size()), Route::Passed);
    }
    EXPECT_EQ(kernel.inject(udp.data(), 12), Route::Malformed);

    EXPECT_EQ(kernel.wire().totalPackets(), 4U);
    ASSERT_EQ(socket->waitReadable(kGuard), 1);
    const Received first = receiveOne(*socket);
    EXPECT_EQ(first.bytes, served);
    EXPECT_EQ(first.tokenLength, DivertSocket::kTokenSize);
    EXPECT_EQ(first.token.sin_family, AF_INET);
    ASSERT_EQ(socket->waitReadable(std::chrono::microseconds(0)), 1);
    EXPECT_EQ(receiveOne(*socket).length, 50);
    EXPECT_EQ(socket->waitReadable(std::chrono::microseconds(1000)), 0);
}

TEST_F(SimKernelTest, WrittenBackPacketsLeaveByteForByteAndAreCountedPerDestination) {
    writeRules({"65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0"});
    SimKernel kernel(options());
    auto socket = boundSocket(kernel);
    std::vector<std::vector<std::uint8_t>> departed;
    const auto id =
        kernel.wire().subscribe([&](const std::uint8_t* bytes, std::size_t length, auto) {
            departed.emplace_back(bytes, bytes + length);
        });
    const auto first = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 1460, 0x11);
    const auto second = tcpPacket("192.0.2.1", 80, "192.0.2.8", 50001, 500, 0x22);
    const auto large = tcpPacket("192.0.2.1", 80, "192.0.2.9", 50002, 1000);
    for (const auto* packet : {&first, &second, &large}) {
        ASSERT_EQ(kernel.inject(packet->data(), packet->size()), SimKernel::Route::Diverted);
    }
    EXPECT_EQ(kernel.wire().totalPackets(), 0U);

    ASSERT_EQ(socket->waitReadable(kGuard), 1);
    const Received sent = receiveOne(*socket);
    ASSERT_EQ(sent.bytes, first);
    EXPECT_EQ(socket->send(sent.bytes.data(), sent.bytes.size(), sent.token, sent.tokenLength),
              sent.length);
    const Received dropped = receiveOne(*socket);
    ASSERT_EQ(dropped.bytes, second);
    EXPECT_EQ(socket->drop(dropped.token, dropped.tokenLength), 0);
    // A reader too small for a packet never gets it cut: the packet passes whole.
    EXPECT_EQ(receiveOne(*socket, 100).length, -1);
    EXPECT_EQ(errno, EMSGSIZE);
    kernel.wire().unsubscribe(id);

    ASSERT_EQ(departed.size(), 2U);
    EXPECT_EQ(departed[0], first);
    EXPECT_EQ(departed[1], large);
    EXPECT_EQ(kernel.wire().bytesTo("192.0.2.7"), first.size());
    EXPECT_EQ(kernel.wire().bytesTo("192.0.2.8"), 0U);
    const auto counters = kernel.counters();
    EXPECT_EQ(counters.diverted, 3U);
    EXPECT_EQ(counters.writtenBack, 1U);
    EXPECT_EQ(counters.dropped, 1U);
    // A token that did not come from receive is refused.
    sockaddr_in forged{};
    EXPECT_EQ(socket->send(first.data(), first.size(), forged, sizeof forged), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(SimKernelTest, AFullQueueFailsOpenAndClosingFlushes) {
    writeRules({"65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0"});
    SimKernel kernel(options(2));
    const auto packet = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 10);
    // No socket bound: the rule's packets pass.
    EXPECT_EQ(kernel.inject(packet.data(), packet.size()), SimKernel::Route::Passed);
    auto socket = boundSocket(kernel);
    EXPECT_EQ(kernel.inject(packet.data(), packet.size()), SimKernel::Route::Diverted);
    EXPECT_EQ(kernel.inject(packet.data(), packet.size()), SimKernel::Route::Diverted);
    EXPECT_EQ(kernel.inject(packet.data(), packet.size()), SimKernel::Route::FailedOpen);
    EXPECT_EQ(kernel.wire().totalPackets(), 2U);
    EXPECT_EQ(socket->close(), 0);
    EXPECT_EQ(kernel.counters().flushedOnClose, 2U);
    EXPECT_EQ(kernel.counters().failedOpen, 1U);
    EXPECT_EQ(kernel.inject(packet.data(), packet.size()), SimKernel::Route::Passed);
    // A second socket may bind once the first is gone; two at once may not.
    auto next = boundSocket(kernel);
    SimDivertSocket third(kernel);
    ASSERT_EQ(third.open(), 0);
    EXPECT_EQ(third.bind(DivertSocket::kDivertPort), -1);
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST_F(SimKernelTest, CloseFromAnotherThreadWakesABlockedReceive) {
    SimKernel kernel(options());
    auto socket = boundSocket(kernel);
    std::atomic<bool> entered{false};
    ssize_t result = 0;
    int error = 0;
    std::thread reader([&] {
        entered = true;
        result = receiveOne(*socket).length;
        error = errno;
    });
    while (!entered) {
        std::this_thread::yield();
    }
    EXPECT_EQ(socket->close(), 0);
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EBADF);
    EXPECT_EQ(socket->waitReadable(std::chrono::microseconds(0)), -1);
    EXPECT_EQ(socket->close(), -1);
}

TEST_F(SimKernelTest, TheToolsRefuseOrGoOfflineWhenTold) {
    SimKernel kernel(options());
    const auto backend = PacketBackend::simulated(kernel);
    IpfwRule rules(backend.programs());
    changeState([](SimFirewallState& state) { state.refusals.push_back({"add", 65533}); });
    SystemLogCapture log;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rules.applyRule(80), -1);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("child returned an error (1) !"), std::string::npos) << errors;
    ASSERT_TRUE(kernel.syncRules());
    ASSERT_EQ(kernel.rules().size(), 1U);
    EXPECT_EQ(kernel.rules()[0].rule, 65534);

    changeState([](SimFirewallState& state) { state.offline = true; });
    IpfwRule offline(backend.programs());
    EXPECT_EQ(offline.interface(), "");
    EXPECT_EQ(offline.ipAdr(), "");
}

// The rule manager drives the kernel through the simulator's tools.
TEST_F(SimKernelTest, RulesAppliedDivertAndStaleOnesAreAllRemovedAndNothingElse) {
    SimKernel kernel(options());
    const auto backend = PacketBackend::simulated(kernel);
    const auto programs = backend.programs();
    // Two runs killed in turn left two pairs for the same port.
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(IpfwRule(programs).applyRule(80), 0);
    }
    ASSERT_TRUE(kernel.syncRules());
    ASSERT_EQ(kernel.rules().size(), 4U);
    EXPECT_EQ(kernel.rules().back().listingLine(),
              "65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0");
    auto socket = backend.makeDivertSocket();
    ASSERT_EQ(socket->open(), 0);
    ASSERT_EQ(socket->bind(IpfwRule::kDivertPort), 0);
    const auto served = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 10);
    EXPECT_EQ(kernel.inject(served.data(), served.size()), SimKernel::Route::Diverted);

    std::string report;
    EXPECT_EQ(StaleRules::removeAll(programs, 6715, report), 4);
    EXPECT_EQ(report, "4 divert rule(s) to port 6715 removed");
    ASSERT_TRUE(kernel.syncRules());
    EXPECT_TRUE(kernel.rules().empty());
    EXPECT_EQ(kernel.inject(served.data(), served.size()), SimKernel::Route::Passed);
    EXPECT_EQ(StaleRules::removeAll(programs, 6715, report), 0);

    // A refused deletion is reported, and the other rule still goes.
    ASSERT_EQ(IpfwRule(programs).applyRule(80), 0);
    changeState([](SimFirewallState& state) { state.refusals.push_back({"delete", 65533}); });
    SystemLogCapture log;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(StaleRules::removeAll(programs, 6715, report), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(report, "1 divert rule(s) to port 6715 removed; can't remove rule(s) 65533");
    ASSERT_TRUE(kernel.syncRules());
    ASSERT_EQ(kernel.rules().size(), 1U);
    EXPECT_EQ(kernel.rules()[0].rule, 65533);

    FirewallPrograms missing = programs;
    missing.firewall = folder_ / "no-such-program";
    EXPECT_EQ(StaleRules::removeAll(missing, 6715, report), -1);
    EXPECT_NE(report.find("can't list the firewall rules"), std::string::npos) << report;
}

// Network byte order, read back independently of the builder.
unsigned be16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<unsigned>(bytes[at] << 8 | bytes[at + 1]);
}

// The ones' complement sum of `length` bytes from `at` plus `start`, folded: 0xFFFF when a
// checksum among them is right.
unsigned folded(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t length,
                unsigned start = 0) {
    unsigned sum = start;
    for (std::size_t i = 0; i < length; i += 2) {
        sum +=
            static_cast<unsigned>(bytes[at + i] << 8) | (i + 1 < length ? bytes[at + i + 1] : 0U);
    }
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

// The simulated hosts' packets must pass any real stack's checks: lengths, ports and
// sequence numbers in network order, both checksums right (an odd length included).
TEST(TcpPacketBuilder, PacketsCarryTheirLengthAndRightChecksums) {
    TcpPacketBuilder builder{.source = TcpPacketBuilder::address("192.0.2.10"),
                             .sourcePort = 0x1A2B,
                             .destination = TcpPacketBuilder::address("10.0.0.1"),
                             .destinationPort = 6700,
                             .sequence = 0x01020304,
                             .identification = 0xBEEF};
    for (const std::size_t length : {std::size_t{40}, std::size_t{41}, std::size_t{1500}}) {
        SCOPED_TRACE(length);
        const auto packet = builder.build(length, 7);
        ASSERT_EQ(packet.size(), length);
        EXPECT_EQ(be16(packet, 2), length);
        EXPECT_EQ(be16(packet, 4), 0xBEEFU);
        EXPECT_EQ(be16(packet, 20), 0x1A2BU);
        EXPECT_EQ(be16(packet, 22), 6700U);
        EXPECT_EQ(be16(packet, 24) << 16 | be16(packet, 26), 0x01020304U);
        EXPECT_EQ(folded(packet, 0, 20), 0xFFFFU) << "IP header checksum";
        const unsigned pseudo = folded(packet, 12, 8, 6 + static_cast<unsigned>(length - 20));
        EXPECT_EQ(folded(packet, 20, length - 20, pseudo), 0xFFFFU) << "TCP checksum";
    }
    EXPECT_EQ(TcpPacketBuilder::address("192.0.2.10"), 0xC000020AU);
    EXPECT_EQ(TcpPacketBuilder::address("192.0.2"), 0U);
}

TEST(StaleRules, FindsOnlyRulesThatDivertToThePort) {
    const std::string listing =
        "00100 allow tcp from any to any 22 in\n"
        "65531 divert 6715 tcp from 192.0.2.1 to any 80 via eth0\n"
        "65532 divert 6715 tcp from 192.0.2.1 80 to any out via eth0\n"
        "65533 divert 8668 tcp from 192.0.2.1 81 to any out via eth0\n"
        "garbage line\n"
        "65535 allow ip from any to any\n";
    EXPECT_EQ(StaleRules::find(listing, 6715), (std::vector<int>{65531, 65532}));
    EXPECT_TRUE(StaleRules::find("65535 allow ip from any to any\n", 6715).empty());
}

TEST(SimFirewallState, TextRoundTripsAndRejectsGarbage) {
    const std::string text =
        "# quellbox simulated firewall\n"
        "rule 65533 divert 6715 tcp from 192.0.2.1 to any 80 via sim0\n"
        "rule 65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0\n"
        "refuse add 65533\n"
        "refuse netstat\n"
        "offline\n";
    const auto state = SimFirewallState::fromText(text, nullptr);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->toText(), text);
    EXPECT_TRUE(state->refuses("add", 65533));
    EXPECT_FALSE(state->refuses("add", 65534));
    EXPECT_TRUE(state->refuses("netstat"));
    EXPECT_EQ(state->listing(),
              "65533 divert 6715 tcp from 192.0.2.1 to any 80 via sim0\n"
              "65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0\n"
              "65535 allow ip from any to any\n");
    std::string error;
    EXPECT_FALSE(SimFirewallState::fromText(
        "rule 70000 divert 6715 tcp from 1.2.3.4 to any 80 via x\n", &error));
    EXPECT_FALSE(SimFirewallState::fromText("bogus\n", &error));
}

}  // namespace
}  // namespace quellbox
