#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "Eventually.h"
#include "TempDir.h"
#include "firewall/DivertSocket.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "platform/AtomicFile.h"
#include "simulation/SimTraffic.h"

namespace quellbox {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::TempDir;

SimScenario scenarioOf(const std::string& text) {
    std::string error;
    auto scenario = SimScenario::parse(text, error);
    EXPECT_TRUE(scenario.has_value()) << error;
    return scenario.value_or(SimScenario{});
}

class SimTrafficTest : public ::testing::Test {
protected:
    TempDir folder_;
    SimKernel kernel_{SimKernel::Options{folder_ / "sim.state"}};
};

TEST_F(SimTrafficTest, NamedClientsAreWrittenToTheServerLogWhenTheyStart) {
    SimTraffic traffic(
        kernel_,
        scenarioOf("client 192.0.2.10 download port=6700 login=alice name=\"Big Al\"\n"
                   "client 192.0.2.11 download port=6700\n"),
        folder_ / "Downloads");
    traffic.start();
    ASSERT_TRUE(eventually(
        [&] { return AtomicFile::read(folder_ / "Downloads").value_or("").size() > 0; }));
    traffic.stop();
    const std::string log = AtomicFile::read(folder_ / "Downloads").value_or("");
    EXPECT_TRUE(log.ends_with('\r')) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\r'), 1) << "the unnamed client has no line";
    EXPECT_EQ(std::count(log.begin(), log.end(), '\t'), 4);
    EXPECT_NE(log.find("\t192.0.2.10\talice\tBig Al\t"), std::string::npos) << log;
}

TEST_F(SimTrafficTest, ADownloadNeverOutrunsTheClientsLink) {
    SimTraffic traffic(
        kernel_, scenarioOf("client 192.0.2.10 download port=6700 demand=50 window=4 rtt=2\n"), {});
    const auto started = std::chrono::steady_clock::now();
    traffic.start();
    ASSERT_TRUE(eventually([&] { return traffic.snapshot()[0].deliveredBytes >= 20 * 1500U; }));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    traffic.stop();
    const auto stats = traffic.snapshot()[0];
    // The link carries 50 KiB/s: what was delivered fits into the elapsed time at that rate.
    EXPECT_LE(static_cast<double>(stats.deliveredBytes), 50 * 1024 * elapsed + 1500);
    EXPECT_GE(kernel_.wire().bytesTo("192.0.2.10"), stats.deliveredBytes);
    EXPECT_EQ(stats.resent, 0U);
}

TEST_F(SimTrafficTest, AnUploadingClientIsAcknowledgedByTheServer) {
    std::atomic<int> acknowledgements{0};
    const auto observer = kernel_.wire().subscribe(
        [&](const std::uint8_t* bytes, std::size_t length, SimWire::Clock::time_point) {
            if (length == 40 && bytes[19] == 20) {  // to 192.0.2.20
                ++acknowledgements;
            }
        });
    SimTraffic traffic(
        kernel_, scenarioOf("client 192.0.2.20 upload port=6700 demand=500 window=8 rtt=2\n"), {});
    traffic.start();
    ASSERT_TRUE(eventually([&] { return traffic.snapshot()[0].deliveredBytes >= 30 * 1500U; }));
    traffic.stop();
    kernel_.wire().unsubscribe(observer);
    EXPECT_GE(static_cast<std::uint64_t>(acknowledgements.load()) * 1500,
              traffic.snapshot()[0].deliveredBytes);
}

// Segments that never leave (a shaper dropped them) are sent again after a time-out.
TEST_F(SimTrafficTest, DroppedSegmentsAreResent) {
    ASSERT_TRUE(AtomicFile::write(
        kernel_.statePath(), "rule 100 divert 6715 tcp from 192.0.2.1 6700 to any out via sim0\n"));
    kernel_.syncRules();
    auto socket = PacketBackend::simulated(kernel_).makeDivertSocket();
    ASSERT_EQ(socket->open(), 0);
    ASSERT_EQ(socket->bind(DivertSocket::kDivertPort), 0);
    // A lossy shaper: every third packet is dropped, the others go back.
    std::thread shaper([&] {
        std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
        for (int n = 0;; ++n) {
            sockaddr_in token{};
            socklen_t tokenLength = sizeof token;
            const ssize_t length =
                socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
            if (length < 0) {
                return;
            }
            if (n % 3 == 0) {
                socket->drop(token, tokenLength);
            } else {
                socket->send(buffer.data(), static_cast<std::size_t>(length), token, tokenLength);
            }
        }
    });
    SimTraffic traffic(
        kernel_, scenarioOf("client 192.0.2.10 download port=6700 demand=1000 window=4 rtt=2\n"),
        {});
    traffic.start();
    const bool progressed = eventually([&] {
        const auto stats = traffic.snapshot()[0];
        return stats.resent > 0 && stats.deliveredBytes >= 10 * 1500U;
    });
    traffic.stop();
    socket->close();
    shaper.join();
    EXPECT_TRUE(progressed) << "resent " << traffic.snapshot()[0].resent << ", delivered "
                            << traffic.snapshot()[0].deliveredBytes;
}

}  // namespace
}  // namespace quellbox
