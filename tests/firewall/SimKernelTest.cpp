#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimDivertSocket.h"
#include "firewall/SimFirewallState.h"
#include "firewall/SimKernel.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::TempDir;

// Only a failure guard: a packet that should be queued is there at once.
constexpr std::chrono::microseconds kGuard = std::chrono::seconds(10);

// An IPv4/TCP packet with a recognisable payload.
std::vector<std::uint8_t> tcpPacket(const char* source, std::uint16_t sourcePort,
                                    const char* destination, std::uint16_t destinationPort,
                                    std::size_t payload, std::uint8_t fill = 0xab) {
    std::vector<std::uint8_t> packet(40 + payload, fill);
    packet[0] = 0x45;
    packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<std::uint8_t>(packet.size());
    packet[8] = 64;
    packet[9] = 6;
    in_addr address{};
    inet_pton(AF_INET, source, &address);
    std::memcpy(&packet[12], &address, 4);
    inet_pton(AF_INET, destination, &address);
    std::memcpy(&packet[16], &address, 4);
    packet[20] = static_cast<std::uint8_t>(sourcePort >> 8);
    packet[21] = static_cast<std::uint8_t>(sourcePort);
    packet[22] = static_cast<std::uint8_t>(destinationPort >> 8);
    packet[23] = static_cast<std::uint8_t>(destinationPort);
    packet[32] = 0x50;
    packet[33] = 0x10;  // ACK
    return packet;
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

    void writeRules(const std::vector<std::string>& rules) const {
        ASSERT_TRUE(SimFirewallState::update(statePath(), [&](SimFirewallState& state) {
            for (const auto& line : rules) {
                const auto rule = IpfwCommand::parseListingLine(line, nullptr);
                EXPECT_TRUE(rule.has_value()) << line;
                state.addRule(*rule);
            }
            return true;
        }));
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
    EXPECT_EQ(kernel.inject(tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 100).data(), 140),
              Route::Diverted);
    EXPECT_EQ(kernel.inject(tcpPacket("192.0.2.1", 40000, "192.0.2.8", 8080, 10).data(), 50),
              Route::Diverted);
    // Other port, other source address, or another protocol: straight to the wire.
    EXPECT_EQ(kernel.inject(tcpPacket("192.0.2.1", 81, "192.0.2.7", 50000, 10).data(), 50),
              Route::Passed);
    EXPECT_EQ(kernel.inject(tcpPacket("192.0.2.9", 80, "192.0.2.7", 50000, 10).data(), 50),
              Route::Passed);
    EXPECT_EQ(kernel.inject(tcpPacket("192.0.2.1", 50000, "192.0.2.7", 80, 10).data(), 50),
              Route::Passed);
    auto udp = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 10);
    udp[9] = 17;
    EXPECT_EQ(kernel.inject(udp.data(), udp.size()), Route::Passed);
    EXPECT_EQ(kernel.inject(udp.data(), 12), Route::Malformed);

    EXPECT_EQ(kernel.wire().totalPackets(), 4U);
    std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
    sockaddr_in token{};
    socklen_t tokenLength = 0;
    ASSERT_EQ(socket->waitReadable(kGuard), 1);
    EXPECT_EQ(socket->receive(buffer.data(), buffer.size(), &token, &tokenLength), 140);
    EXPECT_EQ(tokenLength, DivertSocket::kTokenSize);
    EXPECT_EQ(token.sin_family, AF_INET);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 140),
              tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 100));
    ASSERT_EQ(socket->waitReadable(std::chrono::microseconds(0)), 1);
    EXPECT_EQ(socket->receive(buffer.data(), buffer.size(), &token, &tokenLength), 50);
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
    ASSERT_EQ(kernel.inject(first.data(), first.size()), SimKernel::Route::Diverted);
    ASSERT_EQ(kernel.inject(second.data(), second.size()), SimKernel::Route::Diverted);
    EXPECT_EQ(kernel.wire().totalPackets(), 0U);

    std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
    sockaddr_in token{};
    socklen_t tokenLength = 0;
    ASSERT_EQ(socket->waitReadable(kGuard), 1);
    ssize_t length = socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
    ASSERT_EQ(length, static_cast<ssize_t>(first.size()));
    EXPECT_EQ(socket->send(buffer.data(), static_cast<std::size_t>(length), token, tokenLength),
              length);
    ASSERT_EQ(socket->waitReadable(kGuard), 1);
    length = socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
    ASSERT_EQ(length, static_cast<ssize_t>(second.size()));
    EXPECT_EQ(socket->drop(token, tokenLength), 0);
    kernel.wire().unsubscribe(id);

    ASSERT_EQ(departed.size(), 1U);
    EXPECT_EQ(departed[0], first);
    EXPECT_EQ(kernel.wire().bytesTo("192.0.2.7"), first.size());
    EXPECT_EQ(kernel.wire().bytesTo("192.0.2.8"), 0U);
    const auto counters = kernel.counters();
    EXPECT_EQ(counters.diverted, 2U);
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

TEST_F(SimKernelTest, AReaderTooSmallForThePacketNeverGetsItCut) {
    writeRules({"65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0"});
    SimKernel kernel(options());
    auto socket = boundSocket(kernel);
    const auto packet = tcpPacket("192.0.2.1", 80, "192.0.2.7", 50000, 1000);
    ASSERT_EQ(kernel.inject(packet.data(), packet.size()), SimKernel::Route::Diverted);
    std::vector<std::uint8_t> small(100);
    sockaddr_in token{};
    socklen_t tokenLength = 0;
    ASSERT_EQ(socket->waitReadable(kGuard), 1);
    EXPECT_EQ(socket->receive(small.data(), small.size(), &token, &tokenLength), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(kernel.wire().bytesTo("192.0.2.7"), packet.size());
}

TEST_F(SimKernelTest, CloseFromAnotherThreadWakesABlockedReceive) {
    SimKernel kernel(options());
    auto socket = boundSocket(kernel);
    std::atomic<bool> entered{false};
    ssize_t result = 0;
    int error = 0;
    std::thread reader([&] {
        std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
        sockaddr_in token{};
        socklen_t tokenLength = 0;
        entered = true;
        result = socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
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

TEST_F(SimKernelTest, TheRuleManagerDrivesTheKernelThroughTheSimulatorTools) {
    SimKernel kernel(options());
    const auto backend = PacketBackend::simulated(kernel);
    IpfwRule rules(backend.programs());
    EXPECT_EQ(rules.lowestIpfwRuleNumber(), 65535);
    EXPECT_EQ(rules.interface(), SimKernel::kInterface);
    EXPECT_EQ(rules.ipAdr(), SimKernel::kLocalAddress);
    ASSERT_EQ(rules.applyRule(5500), 0);
    ASSERT_TRUE(kernel.syncRules());
    ASSERT_EQ(kernel.rules().size(), 2U);
    EXPECT_EQ(kernel.rules()[0].listingLine(),
              "65533 divert 6715 tcp from 192.0.2.1 to any 5500 via sim0");
    EXPECT_EQ(kernel.rules()[1].listingLine(),
              "65534 divert 6715 tcp from 192.0.2.1 5500 to any out via sim0");

    auto socket = backend.makeDivertSocket();
    ASSERT_EQ(socket->open(), 0);
    ASSERT_EQ(socket->bind(IpfwRule::kDivertPort), 0);
    const auto served = tcpPacket("192.0.2.1", 5500, "192.0.2.7", 50000, 10);
    EXPECT_EQ(kernel.inject(served.data(), served.size()), SimKernel::Route::Diverted);

    // A later manager starts below the rules left in the firewall.
    IpfwRule later(backend.programs());
    EXPECT_EQ(later.lowestIpfwRuleNumber(), 65533);

    ASSERT_EQ(rules.derule(5500), 0);
    ASSERT_TRUE(kernel.syncRules());
    EXPECT_TRUE(kernel.rules().empty());
    EXPECT_EQ(kernel.inject(served.data(), served.size()), SimKernel::Route::Passed);
}

TEST_F(SimKernelTest, TheToolsRefuseWhenTold) {
    SimKernel kernel(options());
    const auto backend = PacketBackend::simulated(kernel);
    IpfwRule rules(backend.programs());
    ASSERT_TRUE(SimFirewallState::update(statePath(), [](SimFirewallState& state) {
        state.refusals.push_back({"add", 65533});
        return true;
    }));
    SystemLogCapture log;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rules.applyRule(80), -1);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("child returned an error (1) !"), std::string::npos) << errors;
    ASSERT_TRUE(kernel.syncRules());
    ASSERT_EQ(kernel.rules().size(), 1U);
    EXPECT_EQ(kernel.rules()[0].rule, 65534);
}

TEST_F(SimKernelTest, OfflineSimulationHasNoDefaultRoute) {
    SimKernel kernel(options());
    ASSERT_TRUE(SimFirewallState::update(statePath(), [](SimFirewallState& state) {
        state.offline = true;
        return true;
    }));
    SystemLogCapture log;
    IpfwRule rules(PacketBackend::simulated(kernel).programs());
    EXPECT_EQ(rules.interface(), "");
    EXPECT_EQ(rules.ipAdr(), "");
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
