// The engine's side of Priority Mode: client records made and moved by the reading thread,
// counted by the data pacing thread, tidied by the flushing thread; service by priority.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "EngineDoubles.h"
#include "Eventually.h"
#include "SimEngineFixture.h"
#include "engine/Packet.h"
#include "engine/PriorityModeTraffic.h"
#include "platform/SystemLog.h"
#include "prioritymode/GenericIPTable.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/UserInfo.h"
#include "settings/PreferenceKeys.h"

namespace quellbox {
namespace {

using testing::eventually;
using testing::RecordingListener;
using testing::SimEngineFixture;
using namespace std::chrono_literals;
using SystemClock = std::chrono::system_clock;

constexpr int kPort = 6700;
const std::uint32_t kAlice = GenericIPTable::convertStringToLong("192.0.2.10");
const std::uint32_t kBob = GenericIPTable::convertStringToLong("192.0.2.11");
const std::uint32_t kOwn = GenericIPTable::convertStringToLong("192.0.2.1");

// Appends one line of the server's Downloads log: date, address, login, screen name, file.
void appendLogLine(SimEngineFixture& sim, const std::string& address, const std::string& login,
                   const std::string& name) {
    std::ofstream log(sim.folder() / "Downloads", std::ios::binary | std::ios::app);
    log << "2024/05/01 20:00:00\t" << address << '\t' << login << '\t' << name << "\tsong.mp3\r";
}

void useTheLog(SimEngineFixture& sim) {
    sim.preferences().setObject(PlistValue(true), keys::useServerLogFile);
}

std::shared_ptr<UserInfo> client(int priority, const std::string& name,
                                 SystemClock::time_point date = SystemClock::now()) {
    return std::make_shared<UserInfo>("Server", priority, name, name + " login", date);
}

// ---- the reading thread's cases, called directly ---------------------------------------------

// The Priority Mode side of an engine, without the engine: its own tables, log and default
// priorities (those of a fixture whose engine never sees a packet), a service on kPort.
class PriorityModeTrafficTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_.ipmode().activate(true);
        active_ = sim_.ipmode().ipTable();
        idle_ = sim_.ipmode().ipTableForTheInactive();
        waiting_ = sim_.ipmode().waitingForInfoTable();
    }

    // The running maximum the sorting answers for a packet to `destination`, and the
    // priority and destination name it gives the packet.
    std::tuple<std::int32_t, std::int32_t, std::string> assign(std::uint32_t destination,
                                                               int sourcePort = kPort,
                                                               int destinationPort = 50000,
                                                               bool fromLocalClient = false) {
        Packet packet;
        const std::int32_t maximum = traffic_.assign(
            packet, destination, sourcePort, destinationPort, fromLocalClient, SystemClock::now());
        return {maximum, packet.priority(), packet.packetDestination()};
    }

    // An engine without an own address has no flushing thread to tidy the tables meanwhile.
    SimEngineFixture sim_{SimEngineFixture::Options::offlineMachine()};
    int refreshes_ = 0;
    PriorityModeTraffic traffic_{sim_.ipmode(),
                                 [](int port) -> std::optional<std::string> {
                                     if (port == kPort) return std::string("Server");
                                     if (port == 6800) return std::string("Remote");
                                     return std::nullopt;
                                 },
                                 [this] { ++refreshes_; }};
    IPTable* active_ = nullptr;
    IPTable* idle_ = nullptr;
    IPTable* waiting_ = nullptr;
};

TEST_F(PriorityModeTrafficTest, NewClientIsRecordedOnceInTheWaitingAndActiveTables) {
    EXPECT_EQ(assign(kAlice), std::make_tuple(5, 5, "Unknown"));
    EXPECT_EQ(refreshes_, 1);
    const auto record = active_->userInfoForIPLong(kAlice);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(waiting_->userInfoForIPLong(kAlice), record);
    EXPECT_EQ(record->usedService(), "Server");
    EXPECT_EQ(record->priority(), 5);

    EXPECT_EQ(assign(kAlice), std::make_tuple(5, 5, "Unknown"));
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(active_->size(), 1);
}

TEST_F(PriorityModeTrafficTest, OwnUploadGetsTheYourClientRecordWithItsDefaultPriority) {
    ASSERT_TRUE(sim_.priorities().addEntry(8, "Your Client"));
    // The local machine uploads from port 50000 to another server's port 6800.
    EXPECT_EQ(assign(kBob, 50000, 6800, true), std::make_tuple(8, 5, "NoName"));
    const auto record = active_->userInfoForIPLong(kBob);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->screenName(), "ONE OF YOUR UPLOADS");
    EXPECT_EQ(record->login(), "Your Client");
    EXPECT_EQ(record->usedService(), "Remote");
    EXPECT_EQ(record->priority(), 8);
    EXPECT_EQ(waiting_->size(), 0);
    EXPECT_EQ(refreshes_, 1);
}

TEST_F(PriorityModeTrafficTest, ClientKnownToTheLogIsNamedAtOnce) {
    useTheLog(sim_);
    ASSERT_TRUE(sim_.priorities().addEntry(9, "alice"));
    appendLogLine(sim_, "192.0.2.10", "alice", "Alice");
    EXPECT_EQ(assign(kAlice), std::make_tuple(9, 9, "Alice"));
    const auto record = active_->userInfoForIPLong(kAlice);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->login(), "alice");
    EXPECT_EQ(record->usedService(), "Server");
    EXPECT_EQ(waiting_->size(), 0);
    EXPECT_EQ(refreshes_, 1);
}

TEST_F(PriorityModeTrafficTest, IdleClientMovesBackToTheActiveTable) {
    const auto record = client(7, "Bob");
    idle_->linkThisUserInfo(record, kBob);
    EXPECT_EQ(assign(kBob), std::make_tuple(7, 7, "Bob"));
    EXPECT_EQ(active_->userInfoForIPLong(kBob), record);
    EXPECT_EQ(idle_->userInfoForIPLong(kBob), nullptr);
    EXPECT_EQ(refreshes_, 1);
}

TEST_F(PriorityModeTrafficTest, WaitingOnlyClientHasItsDateRenewedAndNothingElse) {
    const auto old = SystemClock::now() - 30s;
    const auto record = client(3, "Waiting", old);
    waiting_->linkThisUserInfo(record, kAlice);
    const auto [maximum, priority, name] = assign(kAlice);
    EXPECT_EQ(priority, 5);
    EXPECT_EQ(name, "NoName");
    EXPECT_GT(record->lastPacketDate(), old);
    EXPECT_EQ(active_->size(), 0);
    EXPECT_EQ(refreshes_, 0);
}

// ---- the flushing thread's housekeeping, called directly ----------------------------------

TEST_F(PriorityModeTrafficTest, WaitingClientIsNamedWhenTheLogShowsIt) {
    useTheLog(sim_);
    ASSERT_TRUE(sim_.priorities().addEntry(10, "alice"));
    assign(kAlice);
    ASSERT_EQ(refreshes_, 1);
    EXPECT_FALSE(traffic_.housekeeping());  // nothing new in the log; an active client
    EXPECT_EQ(refreshes_, 1);
    appendLogLine(sim_, "192.0.2.10", "alice", "Alice");
    traffic_.housekeeping();
    const auto record = active_->userInfoForIPLong(kAlice);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->screenName(), "Alice");
    EXPECT_EQ(record->login(), "alice");
    EXPECT_EQ(record->priority(), 10);
    EXPECT_EQ(active_->runningMaxPriority(), 10);
    EXPECT_EQ(waiting_->size(), 0);
    EXPECT_EQ(refreshes_, 2);
}

// Quiet clients go idle after fifteen seconds and are forgotten after two minutes; an unnamed
// one leaves the waiting table after a minute.
TEST_F(PriorityModeTrafficTest, QuietClientsAreMovedOnAndForgotten) {
    const auto record = client(6, "Alice", SystemClock::now() - 16s);
    active_->linkThisUserInfo(record, kAlice);
    active_->linkThisUserInfo(client(5, "Bob"), kBob);
    const auto unnamed = client(5, "Unknown", SystemClock::now() - 61s);
    unnamed->setFirstPacketDate(SystemClock::now() - 61s);
    waiting_->linkThisUserInfo(unnamed, kOwn);
    EXPECT_FALSE(traffic_.housekeeping());  // Bob is still active
    EXPECT_EQ(waiting_->size(), 0);
    EXPECT_EQ(idle_->userInfoForIPLong(kAlice), record);
    EXPECT_EQ(active_->userInfoForIPLong(kAlice), nullptr);
    EXPECT_EQ(refreshes_, 1);

    EXPECT_FALSE(traffic_.housekeeping());  // nothing moves: no refresh
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(idle_->size(), 1);

    record->setLastPacketDate(SystemClock::now() - 121s);
    active_->removeThisIPLong(kBob);
    EXPECT_TRUE(traffic_.housekeeping());  // no active client: the engine may stand by
    EXPECT_EQ(idle_->size(), 0);
    EXPECT_EQ(refreshes_, 1);
}

// ---- over the simulated kernel -------------------------------------------------------------

class PriorityModeEngine : public ::testing::Test {
protected:
    void SetUp() override {
        sim_.startWithCap(kPort);
        sim_.engine().setDATARate(-1.0F);
        sim_.ipmode().activate(true);
        sim_.engine().addTrafficListener(listener_);
    }

    std::vector<std::uint8_t> to(std::uint32_t client, std::uint8_t seed,
                                 std::size_t length = 1500) {
        return sim_.serverPacket(kPort, GenericIPTable::convertLongToString(client), length,
                                 TcpPacketBuilder::kAck, seed);
    }

    // Holds the data path: one packet to `client` waits in the write, so that the packets
    // injected next pile up in the priority queue.
    void holdTheDataPath(std::uint32_t client) {
        sim_.socket()->holdSends();
        sim_.inject(to(client, 200));
        ASSERT_TRUE(sim_.socket()->waitForHeldSend(10s));
    }

    // The seeds of the DATA packets of 1500 bytes that left, in order.
    std::vector<int> dataSeedsInOrder() {
        std::vector<int> seeds;
        for (const auto& departure : sim_.departures()) {
            if (departure.bytes.size() == 1500) {
                seeds.push_back(departure.bytes[40]);
            }
        }
        return seeds;
    }

    SimEngineFixture sim_{SimEngineFixture::Options::controlled()};
    std::shared_ptr<RecordingListener> listener_ = std::make_shared<RecordingListener>();
};

// Recorded by the reading thread under the capped service's name, counted by the data pacing
// thread, named by the flushing thread once the log shows the client.
TEST_F(PriorityModeEngine, NewClientIsRecordedCountedAndNamedByTheEnginesThreads) {
    useTheLog(sim_);
    ASSERT_TRUE(sim_.priorities().addEntry(3, "alice"));
    sim_.inject(to(kAlice, 1));
    ASSERT_TRUE(sim_.waitForDepartures(1));
    const auto record = sim_.ipmode().ipTable()->userInfoForIPLong(kAlice);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->usedService(), "Service 6700");
    EXPECT_EQ(listener_->count("refresh"), 1);
    EXPECT_TRUE(eventually([&] { return record->totalDownloadSize() == 1500; }));
    appendLogLine(sim_, "192.0.2.10", "alice", "Alice");
    ASSERT_TRUE(listener_->waitFor("refresh", 2));
    EXPECT_EQ(record->screenName(), "Alice");
    EXPECT_EQ(record->priority(), 3);
}

// A packet to the own address gets priority 5 and leaves the running maximum of 10 alone: a
// bucket, behind Alice's packets though it came first, and ahead of Bob's of priority 0.
TEST_F(PriorityModeEngine, HigherPriorityIsServedFirst) {
    sim_.ipmode().ipTable()->linkThisUserInfo(client(10, "Alice"), kAlice);
    sim_.ipmode().ipTable()->linkThisUserInfo(client(0, "Bob"), kBob);
    holdTheDataPath(kAlice);
    sim_.inject(to(kBob, 1));
    sim_.inject(to(kOwn, 5));
    sim_.inject(to(kAlice, 2));
    sim_.inject(to(kBob, 3));
    sim_.inject(to(kAlice, 4));
    sim_.inject(sim_.serverPacket(kPort, "192.0.2.10", 40));  // read last: the others are sorted
    ASSERT_TRUE(sim_.waitForRead(7));
    sim_.socket()->releaseSends();
    ASSERT_TRUE(sim_.waitForDepartures(7));
    EXPECT_THAT(dataSeedsInOrder(), ::testing::ElementsAre(200, 2, 4, 5, 1, 3));
    EXPECT_FALSE(sim_.ipmode().ipTable()->longAlreadyInIPTable(kOwn));
}

TEST_F(PriorityModeEngine, RateOfZeroDropsNothingWhileARateDrops) {
    SystemLogCapture log;
    sim_.engine().setPriorityFactor(1);  // any positive rate would make every climb lose
    sim_.ipmode().ipTable()->linkThisUserInfo(client(10, "Alice"), kAlice);
    sim_.ipmode().ipTable()->linkThisUserInfo(client(0, "Bob"), kBob);
    auto pileUpAndRelease = [&](int round) {
        holdTheDataPath(kAlice);
        for (int i = 0; i < 60; ++i) {
            sim_.inject(to(kBob, static_cast<std::uint8_t>(i)));
            sim_.inject(to(kAlice, static_cast<std::uint8_t>(i)));
        }
        sim_.inject(sim_.serverPacket(kPort, "192.0.2.10", 40));
        ASSERT_TRUE(sim_.waitForRead(static_cast<std::uint64_t>(round) * 122));
        sim_.socket()->releaseSends();
    };
    sim_.engine().setDATARate(0.0F);
    pileUpAndRelease(1);
    ASSERT_TRUE(sim_.waitForDepartures(122));
    EXPECT_EQ(sim_.kernel().counters().dropped, 0U);

    sim_.engine().setDATARate(10000.0F);
    pileUpAndRelease(2);
    // Every packet leaves or is released as dropped.
    ASSERT_TRUE(eventually([&] {
        const auto counters = sim_.kernel().counters();
        return sim_.kernel().wire().totalPackets() + counters.dropped == 244;
    }));
    EXPECT_GT(sim_.kernel().counters().dropped, 0U);
    EXPECT_GT(log.count("LossProb = 10000.000000 => drop now a packet"), 0);
}

}  // namespace
}  // namespace quellbox
