// The engine over the simulated kernel: sorting, pacing, failures, releases and stand-by.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "EngineDoubles.h"
#include "Eventually.h"
#include "SimEngineFixture.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using ::testing::ElementsAre;
using testing::eventually;
using testing::RecordingListener;
using testing::SimEngineFixture;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr int kPort = 6700;
constexpr const char* kClient = "192.0.2.10";
// A rate at which one packet occupies hours: after one DATA packet the data path stands.
constexpr float kStandingRate = 0.0001F;

// One DATA packet goes out, after which the data pacing thread sleeps for hours.
void standTheDataPath(SimEngineFixture& sim) {
    sim.engine().setDATARate(kStandingRate);
    const std::size_t before = sim.departures().size();
    sim.inject(sim.serverPacket(kPort, kClient, 1500, TcpPacketBuilder::kAck, 99));
    ASSERT_TRUE(sim.waitForDepartures(before + 1));
}

std::optional<SteadyClock::time_point> departureOf(SimEngineFixture& sim,
                                                   const std::vector<std::uint8_t>& bytes) {
    for (const auto& departure : sim.departures()) {
        if (departure.bytes == bytes) {
            return departure.when;
        }
    }
    return std::nullopt;
}

bool departed(SimEngineFixture& sim, const std::vector<std::uint8_t>& bytes) {
    return departureOf(sim, bytes).has_value();
}

// ---- sorting ------------------------------------------------------------------------------

TEST(ThroughputLimiterSorting, AckClassLeavesAtOnceWhileDataWaitsForItsTurn) {
    SimEngineFixture sim;
    sim.startWithCap(kPort);
    sim.engine().setACKPause(60e6F);  // only the slowed path would wait a minute
    standTheDataPath(sim);

    const std::vector<std::vector<std::uint8_t>> ackClass = {
        sim.serverPacket(kPort, kClient, 40, TcpPacketBuilder::kAck, 1),
        sim.serverPacket(kPort, kClient, 69, TcpPacketBuilder::kAck, 2),
        // Another client: the standing packet's flow may still count as busy for a moment.
        sim.serverPacket(kPort, "192.0.2.12", 1500, TcpPacketBuilder::kAck | TcpPacketBuilder::kPsh,
                         3),
        sim.serverPacket(kPort, kClient, 1500, TcpPacketBuilder::kSyn, 4),
    };
    const auto data = sim.serverPacket(kPort, kClient, 70, TcpPacketBuilder::kAck, 5);
    const auto marker = sim.serverPacket(kPort, kClient, 40, TcpPacketBuilder::kAck, 6);
    for (const auto& packet : ackClass) {
        sim.inject(packet);
    }
    sim.inject(data);
    sim.inject(marker);
    ASSERT_TRUE(sim.waitForDepartures(1 + ackClass.size() + 1));
    for (const auto& packet : ackClass) {
        EXPECT_TRUE(departed(sim, packet)) << packet.size() << " bytes";
    }
    EXPECT_TRUE(departed(sim, marker));
    // The 70-byte packet was sorted before the marker was read, into the standing data path.
    EXPECT_FALSE(departed(sim, data));
    EXPECT_TRUE(eventually([&] { return sim.engine().lastACKPacketSize() == 40; }));
}

// A PSH data segment waits behind the DATA of its own flow (overtaking it would look like
// loss to the sender) and leaves at once when only other flows have data waiting.
TEST(ThroughputLimiterSorting, DataWithPshWaitsOnlyBehindItsOwnFlow) {
    // A super-packet (longer than a segment) is many segments whatever its flow does.
    struct Case {
        const char* pushedTo;
        std::size_t length;
        bool overtakes;
    };
    for (const Case& test : {Case{kClient, 1500, false}, Case{"192.0.2.11", 1500, true},
                             Case{"192.0.2.11", 3000, false}}) {
        SCOPED_TRACE(test.pushedTo);
        SimEngineFixture sim;
        sim.startWithCap(kPort);
        standTheDataPath(sim);
        const auto waiting = sim.serverPacket(kPort, kClient, 1500, TcpPacketBuilder::kAck, 1);
        const auto pushed = sim.serverPacket(kPort, test.pushedTo, test.length,
                                             TcpPacketBuilder::kAck | TcpPacketBuilder::kPsh, 2);
        const auto marker = sim.serverPacket(kPort, kClient, 40, TcpPacketBuilder::kAck, 3);
        sim.inject(waiting);
        sim.inject(pushed);
        sim.inject(marker);
        ASSERT_TRUE(sim.waitForDepartures(test.overtakes ? 3 : 2));
        EXPECT_TRUE(departed(sim, marker));
        EXPECT_EQ(departed(sim, pushed), test.overtakes);
        EXPECT_FALSE(departed(sim, waiting));
        EXPECT_EQ(sim.engine().counters().unpacedDataBytes, test.overtakes ? 1500U : 0U);
    }
}

TEST(ThroughputLimiterSorting, MalformedHeaderIsWrittenBackAtOnceUnchanged) {
    SimEngineFixture sim;
    sim.startWithCap(kPort, true);
    sim.engine().setACKPause(60e6F);
    standTheDataPath(sim);  // both queues that could hold it now stand
    // An IPv4 header of 15 words leaves no room for the TCP flags in 64 bytes, though the
    // ports the firewall matches are there.
    auto malformed = sim.serverPacket(kPort, kClient, 64);
    malformed[0] = 0x4F;
    std::copy_n(malformed.begin() + 20, 4, malformed.begin() + 60);
    sim.inject(malformed);
    ASSERT_TRUE(sim.waitForDepartures(2));
    EXPECT_EQ(sim.departures()[1].bytes, malformed);
    EXPECT_EQ(sim.engine().counters().malformed, 1U);
}

// ---- pacing -------------------------------------------------------------------------------

// A PSH segment with nothing waiting leaves at once, unpaced, yet its time counts against the
// rate; the packets after it leave byte for byte in order, none before its predecessors' time.
TEST(ThroughputLimiterPacing, PacketsLeaveInOrderEachAfterItsPredecessorsTimePaced) {
    SimEngineFixture sim;
    sim.startWithCap(kPort);
    sim.engine().setDATARate(10.0F);  // 1024 bytes occupy 0.1 s
    const std::vector<std::vector<std::uint8_t>> sent = {
        sim.serverPacket(kPort, kClient, 1024, TcpPacketBuilder::kAck | TcpPacketBuilder::kPsh, 1),
        sim.serverPacket(kPort, kClient, 1024, TcpPacketBuilder::kAck, 2),
        sim.serverPacket(kPort, kClient, 1024, TcpPacketBuilder::kAck, 3),
        // 2,920 bytes of payload behind 40 bytes of headers: two segments of 1,500 on the wire.
        sim.serverPacket(kPort, kClient, 2960, TcpPacketBuilder::kAck, 4)};
    sim.inject(sent[0]);
    ASSERT_TRUE(sim.waitForDepartures(1));
    for (std::size_t i = 1; i < sent.size(); ++i) {
        sim.inject(sent[i]);
    }
    ASSERT_TRUE(sim.waitForDepartures(sent.size()));
    // The first paced packet goes at once and then owes its own time and the PSH segment's.
    const std::chrono::milliseconds earliest[] = {0ms, 0ms, 200ms, 300ms};
    const auto departures = sim.departures();
    ASSERT_EQ(departures.size(), sent.size());
    for (std::size_t i = 0; i < departures.size(); ++i) {
        EXPECT_EQ(departures[i].bytes, sent[i]) << i;
        EXPECT_GE(departures[i].when - departures[0].when, earliest[i]) << i;
    }
    // The engine counts a write once the socket call returns, just after the wire saw it.
    EXPECT_TRUE(eventually([&] { return sim.engine().counters().writtenBack == 4U; }));
    EXPECT_TRUE(eventually([&] { return sim.engine().counters().dataBytes == 2 * 1024U + 3000U; }));
    EXPECT_EQ(sim.engine().counters().unpacedDataBytes, 1024U);
    EXPECT_EQ(sim.engine().lastDATAPacketSize(), 2960);
}

// One at a time, each after its own pause of whole microseconds, a second or more too: the
// local server's acknowledgements (capped port as source) and those of the local machine as
// the client of another server (capped port as destination) alike.
TEST(ThroughputLimiterPacing, SlowedAcknowledgementsWaitTheWholePauseEach) {
    struct Case {
        float pause;
        std::chrono::microseconds waited;
        int packets;
    };
    for (const Case& test : {Case{2500.7F, 2500us, 4}, Case{1.5e6F, 1500ms, 1}}) {
        SimEngineFixture sim;
        sim.startWithCap(kPort, true);
        ASSERT_NE(sim.cap(6800, true), nullptr);
        sim.engine().setACKPause(test.pause);
        const auto injected = SteadyClock::now();
        for (int i = 0; i < test.packets; ++i) {
            const auto seed = static_cast<std::uint8_t>(i);
            sim.inject(
                i % 2 == 0
                    ? sim.serverPacket(kPort, kClient, 40, TcpPacketBuilder::kAck, seed)
                    : sim.clientPacket(6800, "192.0.2.20", 40, TcpPacketBuilder::kAck, seed));
        }
        ASSERT_TRUE(sim.waitForDepartures(static_cast<std::size_t>(test.packets)));
        const auto departures = sim.departures();
        for (std::size_t i = 0; i < departures.size(); ++i) {
            EXPECT_GE(departures[i].when - injected, test.waited * static_cast<int>(i + 1)) << i;
        }
    }
}

// ---- failures and releases ----------------------------------------------------------------

TEST(ThroughputLimiterFailures, FailedReadIsReportedOnceAndForwardsNothing) {
    SystemLogCapture log;
    auto options = SimEngineFixture::Options::controlled();
    options.configureSocket = [](testing::ControlledSocket& socket) { socket.failReceives = 1; };
    SimEngineFixture sim(std::move(options));
    sim.engine().waitUntilStarted(10s);
    ASSERT_TRUE(eventually([&] { return !sim.engine().isRunning(); }));
    sim.expectOnlyProblem("Error : Quellbox encountered an error when reading the divert socket !",
                          "Please quit and relaunch it.", false);
    EXPECT_THAT(log.errorLines(),
                ElementsAre("Quellbox Error : read from divert socket: Input/output error"));
    EXPECT_EQ(sim.socket()->closeCalls(), 1);
    EXPECT_EQ(sim.socket()->receiveCalls(), 1);
    const auto counters = sim.engine().counters();
    EXPECT_EQ(counters.read, 0U);
    EXPECT_EQ(counters.writtenBack, 0U);
    EXPECT_EQ(sim.kernel().counters().writtenBack, 0U);
    EXPECT_TRUE(sim.departures().empty());
}

TEST(ThroughputLimiterFailures, FailedWriteDropsThePacketAndTheThreadsGoOn) {
    SystemLogCapture log;
    SimEngineFixture sim(SimEngineFixture::Options::controlled());
    sim.startWithCap(kPort);
    sim.engine().setDATARate(-1.0F);
    sim.socket()->failSends = 1;
    const auto lost = sim.serverPacket(kPort, kClient, 1500, TcpPacketBuilder::kAck, 1);
    const auto next = sim.serverPacket(kPort, kClient, 1500, TcpPacketBuilder::kAck, 2);
    sim.inject(lost);
    ASSERT_TRUE(eventually([&] { return sim.kernel().counters().dropped == 1; }));
    sim.inject(next);
    ASSERT_TRUE(sim.waitForDepartures(1));
    EXPECT_EQ(sim.departures()[0].bytes, next);

    sim.socket()->failSends = 1;
    sim.inject(sim.serverPacket(kPort, kClient, 40, TcpPacketBuilder::kAck, 3));
    ASSERT_TRUE(eventually([&] { return sim.kernel().counters().dropped == 2; }));
    const auto ack = sim.serverPacket(kPort, kClient, 52, TcpPacketBuilder::kAck, 4);
    sim.inject(ack);
    ASSERT_TRUE(sim.waitForDepartures(2));
    EXPECT_EQ(sim.departures()[1].bytes, ack);

    EXPECT_THAT(
        log.errorLines(),
        ElementsAre(
            "Quellbox Error when writing a DATA Packet to the Divert socket: Input/output error",
            "Quellbox Error when writing an ACK Packet to the Divert socket: Input/output error"));
    EXPECT_EQ(sim.engine().counters().writeFailures, 2U);
    EXPECT_TRUE(sim.engine().isRunning());
}

TEST(ThroughputLimiterFailures, PacketsTheEngineLetsGoAreReleasedAtOnceAndNoneIsLost) {
    SystemLogCapture log;
    SimEngineFixture sim;
    sim.startWithCap(kPort);
    standTheDataPath(sim);
    constexpr int kInjected = 250;
    for (int i = 0; i < kInjected; ++i) {
        sim.inject(sim.serverPacket(kPort, kClient, 1500, TcpPacketBuilder::kAck,
                                    static_cast<std::uint8_t>(i)));
    }
    // The final queue takes 200; the other 50 are refused and released as they come.
    ASSERT_TRUE(eventually([&] { return sim.kernel().counters().dropped == 50; }));
    EXPECT_EQ(log.count("will release this packet since this queue is full !"), 50);
    EXPECT_EQ(sim.engine().counters().droppedQueueFull, 50U);
    sim.destroyEngine();
    // The 200 still queued are released when the engine goes: every packet injected is
    // on the wire or dropped, none left held.
    const auto counters = sim.kernel().counters();
    EXPECT_EQ(counters.dropped, 250U);
    EXPECT_EQ(counters.injected,
              sim.kernel().wire().totalPackets() + counters.dropped + counters.flushedOnClose);
}

// ---- stand-by -------------------------------------------------------------------------------

std::vector<double> valuesOf(const RecordingListener& listener, const std::string& what) {
    std::vector<double> values;
    for (const auto& call : listener.calls()) {
        if (call.what == what) {
            values.push_back(call.value);
        }
    }
    return values;
}

TEST(ThroughputLimiterStandBy, IdleEngineStopsTheGaugesUntilTheNextPacket) {
    SimEngineFixture sim;
    auto listener = std::make_shared<RecordingListener>();
    sim.engine().addTrafficListener(listener);
    sim.startWithCap(kPort);
    // A second without traffic: stand-by.
    ASSERT_TRUE(eventually([&] { return sim.engine().isInStandBy(); }));
    sim.flushMainLoop();
    const int ticksAtRest = listener->count("ack");
    std::this_thread::sleep_for(1200ms);  // three gauge intervals, and more
    sim.flushMainLoop();
    EXPECT_EQ(listener->count("ack"), ticksAtRest);

    // A packet ends stand-by and the ticks resume, showing it; quiet again, the last values
    // the listeners saw are zeros (the flushing thread's and the ticks' alike).
    sim.inject(sim.serverPacket(kPort, kClient, 52));
    ASSERT_TRUE(
        eventually([&] { return std::ranges::count(valuesOf(*listener, "ack"), 52.0) > 0; }));
    ASSERT_TRUE(eventually([&] { return sim.engine().isInStandBy(); }));
    sim.flushMainLoop();
    EXPECT_EQ(valuesOf(*listener, "ack").back(), 0.0);
    EXPECT_EQ(valuesOf(*listener, "data").back(), 0.0);
    EXPECT_EQ(sim.engine().lastACKPacketSize(), 0);
}

// ---- listeners while the engine runs ------------------------------------------------------------

TEST(ThroughputLimiterListeners, ListenersMayComeAndGoWhileTheThreadsCallThem) {
    SimEngineFixture sim;
    sim.startWithCap(kPort);
    sim.engine().setDATARate(-1.0F);
    sim.ipmode().activate(true);  // every new client makes the reading thread send refreshView
    auto steady = std::make_shared<RecordingListener>();
    sim.engine().addTrafficListener(steady);
    std::atomic<bool> done{false};
    std::thread churn([&] {
        while (!done) {
            auto passing = std::make_shared<RecordingListener>();
            sim.engine().addTrafficListener(passing);
            sim.engine().addTrafficListener(passing);
            sim.engine().removeTrafficListener(passing.get());
        }
    });
    constexpr int kClients = 100;
    for (int i = 0; i < kClients; ++i) {
        sim.inject(sim.serverPacket(kPort, "10.0.0." + std::to_string(i + 1), 1000));
    }
    ASSERT_TRUE(sim.waitForDepartures(kClients));
    ASSERT_TRUE(steady->waitFor("refresh", kClients));
    done = true;
    churn.join();
    EXPECT_EQ(steady->count("refresh"), kClients);
}

}  // namespace
}  // namespace quellbox
