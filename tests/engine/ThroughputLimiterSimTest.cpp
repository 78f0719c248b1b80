#include <gtest/gtest.h>

#include <thread>

#include "SimEngineFixture.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using testing::SimEngineFixture;

TEST(ThroughputLimiterSim, CappedPortPassesThroughTheEngineByteForByteAtTheRate) {
    SimEngineFixture sim;
    ASSERT_TRUE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
    auto service = std::make_shared<Service>("Server", 6700);
    ASSERT_EQ(sim.engine().addULService(service), 0);
    sim.kernel().syncRules();
    sim.engine().setDATARate(100.0F);  // 100 KiB/s: a 1024-byte packet every 10 ms

    std::vector<std::vector<std::uint8_t>> sent;
    for (int i = 0; i < 10; ++i) {
        sent.push_back(
            sim.serverPacket(6700, "192.0.2.10", 1024, 0x10, static_cast<std::uint8_t>(i)));
        sim.inject(sent.back());
    }
    ASSERT_TRUE(sim.waitForDepartures(10));
    const auto departures = sim.departures();
    ASSERT_EQ(departures.size(), 10U);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(departures[i].bytes, sent[i]) << "packet " << i;
    }
    // Pacing never lets a packet leave before the time its predecessors occupy at the rate.
    const auto spanned = departures.back().when - departures.front().when;
    EXPECT_GE(spanned, std::chrono::milliseconds(9 * 10) - std::chrono::microseconds(100));
    EXPECT_EQ(sim.kernel().counters().diverted, 10U);
    // The engine counts a write once the socket call returns, just after the wire saw it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim.engine().counters().writtenBack < 10U && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(sim.engine().counters().writtenBack, 10U);
    ASSERT_EQ(sim.engine().removeULService(service), 0);
}

}  // namespace
}  // namespace quellbox
