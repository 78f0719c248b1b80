// The engine's service operations, settings, listeners and start-up, mostly against a rule
// manager that runs no program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <mutex>

#include "EngineDoubles.h"
#include "SimEngineFixture.h"
#include "platform/SystemLog.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using testing::ControlledSocket;
using ::testing::ElementsAre;
using testing::FakeRule;
using ::testing::IsEmpty;
using testing::SimEngineFixture;

struct FakeRuleEngine {
    FakeRuleEngine() : FakeRuleEngine(std::make_unique<FakeRule>()) {}
    explicit FakeRuleEngine(std::unique_ptr<FakeRule> made)
        : rule(*made), sim(SimEngineFixture::Options::withRule(std::move(made))) {}
    FakeRule& rule;
    SimEngineFixture sim;
    ThroughputLimiter& engine() { return sim.engine(); }
};

TEST(ThroughputLimiterServices, OneRulePerPortAndOnlyARecordedServiceIsDeruled) {
    FakeRuleEngine fixture;
    auto service = std::make_shared<Service>("Server", 6700);
    EXPECT_EQ(fixture.engine().removeULService(service), 0);
    EXPECT_THAT(fixture.rule.derules(), IsEmpty());
    EXPECT_EQ(fixture.engine().addULService(service), 0);
    EXPECT_EQ(fixture.engine().addULService(std::make_shared<Service>("Same port", 6700)), 0);
    EXPECT_EQ(fixture.engine().addULService(std::make_shared<Service>("No port", 0)), 0);
    EXPECT_THAT(fixture.rule.applied(), ElementsAre(6700));
    EXPECT_TRUE(fixture.engine().isCappedUL(6700));
    EXPECT_FALSE(fixture.engine().isCappedUL(0));
    EXPECT_THAT(fixture.sim.problems(), IsEmpty());
    EXPECT_EQ(fixture.engine().removeULService(service), 0);
    EXPECT_THAT(fixture.rule.derules(), ElementsAre(6700));
    EXPECT_FALSE(fixture.engine().isCappedUL(6700));
}

TEST(ThroughputLimiterServices, FailingRuleIsReportedAndNothingRecorded) {
    FakeRuleEngine fixture;
    fixture.rule.failApply = true;
    auto service = std::make_shared<Service>("Server", 6700);
    EXPECT_EQ(fixture.engine().addULService(service), -1);
    EXPECT_FALSE(fixture.engine().isCappedUL(6700));
    fixture.sim.expectOnlyProblem(
        "Error : Can't create rule for this Service",
        "There is no free rule left.\nIf you are using a FireWall, please move it's own rules to "
        "higher numbers.",
        false);
    // The download cap of a service whose rule fails is recorded nowhere either.
    EXPECT_EQ(fixture.engine().addDLService(service), -1);
    EXPECT_FALSE(fixture.engine().isCappedUL(6700));
    EXPECT_FALSE(fixture.engine().isCappedDL(6700));
    EXPECT_EQ(fixture.sim.problems().size(), 2U);
}

TEST(ThroughputLimiterServices, DownloadCapOfAnUploadCappedServiceRunsNoCommand) {
    FakeRuleEngine fixture;
    auto service = std::make_shared<Service>("Server", 6700);
    ASSERT_EQ(fixture.engine().addULService(service), 0);
    EXPECT_EQ(fixture.engine().addDLService(service), 0);
    EXPECT_THAT(fixture.rule.applied(), ElementsAre(6700));
    EXPECT_TRUE(fixture.engine().isCappedDL(6700));

    // Forgetting the download cap keeps the divert rule and the upload cap.
    EXPECT_EQ(fixture.engine().removeDLService(service), 0);
    EXPECT_FALSE(fixture.engine().isCappedDL(6700));
    EXPECT_TRUE(fixture.engine().isCappedUL(6700));
    EXPECT_THAT(fixture.rule.derules(), IsEmpty());
    // Also for a service that never had one.
    EXPECT_EQ(fixture.engine().removeDLService(std::make_shared<Service>("Other", 6800)), 0);
}

TEST(ThroughputLimiterServices, FailingDeruleIsReportedAndTheServiceStays) {
    FakeRuleEngine fixture;
    auto service = std::make_shared<Service>("Server", 6700);
    ASSERT_EQ(fixture.engine().addULService(service), 0);
    fixture.rule.failDerule = true;
    EXPECT_EQ(fixture.engine().removeULService(service), -1);
    EXPECT_TRUE(fixture.engine().isCappedUL(6700));
    fixture.sim.expectOnlyProblem(
        "Error : Can't remove rule for this Service",
        "There is a problem with ipfw command.\nIf you are using a FireWall, please quit it and "
        "launch it before Quellbox.",
        false);
}

TEST(ThroughputLimiterSettings, PauseAndFactorAreMagnitudesAndTheDownloadModeOwnsThePause) {
    FakeRuleEngine fixture;
    ThroughputLimiter& engine = fixture.engine();
    EXPECT_EQ(engine.priorityFactor(), 5000) << "the registered default is -5000";
    EXPECT_EQ(engine.setDATARate(-1.0F), 0);
    EXPECT_EQ(engine.getDATARate(), -1.0F);
    EXPECT_EQ(engine.setACKPause(-3000.0F), 0);
    EXPECT_EQ(engine.getACKPause(), 3000.0F);
    ASSERT_EQ(engine.setDownloadRate(true, 100.0F), 0);
    EXPECT_TRUE(engine.isDownloadRateOn());
    EXPECT_EQ(engine.getACKPause(), 0.0F) << "the budget, not a pause, holds the acknowledgements";
    // A pause chosen meanwhile waits for the mode to end.
    engine.setACKPause(5000.0F);
    EXPECT_EQ(engine.getACKPause(), 0.0F);
    for (const float bad : {0.0F, -5.0F, std::nanf(""), INFINITY}) {
        EXPECT_EQ(engine.setDownloadRate(true, bad), -1) << bad;
    }
    EXPECT_EQ(engine.getDownloadRate(), 100.0F) << "a refused rate changes nothing";
    ASSERT_EQ(engine.setDownloadRate(false, 0.0F), 0);
    EXPECT_FALSE(engine.isDownloadRateOn());
    EXPECT_EQ(engine.getACKPause(), 5000.0F);
}

TEST(ThroughputLimiterStartUp, WithoutAnOwnAddressTheReadingThreadEnds) {
    auto rule = std::make_unique<FakeRule>("");
    auto options = SimEngineFixture::Options::withRule(std::move(rule));
    options.controlledSocket = true;
    SimEngineFixture sim(std::move(options));
    EXPECT_FALSE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
    EXPECT_FALSE(sim.engine().isRunning());
    EXPECT_EQ(sim.socket()->receiveCalls(), 0);
    // No socket was bound: a packet of a capped port passes the kernel untouched.
    ASSERT_NE(sim.cap(6700), nullptr);
    sim.inject(sim.serverPacket(6700, "192.0.2.10", 1000));
    EXPECT_EQ(sim.kernel().counters().passed, 1U);
    EXPECT_EQ(sim.engine().counters().read, 0U);
}

// Without a divert socket nothing reads the divert port: packets of a capped port pass the
// kernel untouched.
TEST(ThroughputLimiterStartUp, SocketThatCannotBeOpenedOrBoundIsReportedAndEndsTheEngine) {
    for (const bool failOpen : {true, false}) {
        SystemLogCapture log;
        auto options = SimEngineFixture::Options::withRule(std::make_unique<FakeRule>());
        options.controlledSocket = true;
        options.configureSocket = [failOpen](ControlledSocket& socket) {
            (failOpen ? socket.failOpen : socket.failBind) = true;
        };
        SimEngineFixture sim(std::move(options));
        EXPECT_FALSE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
        EXPECT_FALSE(sim.engine().isRunning());
        sim.expectOnlyProblem(failOpen ? "Error : Quellbox can't create the divert socket for ipfw"
                                       : "Error : Quellbox can't bind the divert socket for ipfw",
                              "Please check Quellbox has enough privileges or reinstall it.", true);
        EXPECT_EQ(sim.socket()->receiveCalls(), 0);
        if (failOpen) {
            EXPECT_THAT(log.errorLines(), ElementsAre(::testing::StartsWith(
                                              "Quellbox Error : divert socket not created !: ")));
        } else {
            EXPECT_EQ(sim.socket()->closeCalls(), 1);
        }
        ASSERT_NE(sim.cap(6700), nullptr);
        sim.inject(sim.serverPacket(6700, "192.0.2.10", 1000));
        EXPECT_EQ(sim.kernel().counters().diverted, 0U);
    }
}

// ---- listeners ------------------------------------------------------------------------------

// Listeners that write "name.call" to one shared log, so that the order across listeners
// shows; each firing is made on the main run loop, where the gauge ticks run too, so nothing
// interleaves with it.
struct ListenerLog {
    class Listener : public TrafficListener {
    public:
        Listener(std::string name, ListenerLog& shared) : name_(std::move(name)), shared_(shared) {}
        void refreshView() override { add("refresh"); }
        void dataReceived(double) override { add("data"); }
        void queueSizeChanged(double) override { add("queue"); }
        void ackReceived(double) override { add("ack"); }

    private:
        void add(const char* what) {
            std::lock_guard guard(shared_.mutex);
            shared_.log.push_back(name_ + "." + what);
        }
        const std::string name_;
        ListenerLog& shared_;
    };

    std::mutex mutex;
    std::vector<std::string> log;  // guarded by mutex

    std::shared_ptr<Listener> listener(const std::string& name) {
        return std::make_shared<Listener>(name, *this);
    }
    // What the listeners were called with while `fire` ran.
    std::vector<std::string> during(FakeRuleEngine& fixture, const std::function<void()>& fire) {
        fixture.sim.runLoop().performOnMainThread(
            [&] {
                {
                    std::lock_guard guard(mutex);
                    log.clear();
                }
                fire();
            },
            true);
        std::lock_guard guard(mutex);
        return log;
    }
};

// Without an own address the engine has no flushing thread, so every call comes from here.
TEST(ThroughputLimiterListeners, EachIsCalledInOrderAsOftenAsAddedUntilRemovedEverywhere) {
    FakeRuleEngine fixture(std::make_unique<FakeRule>(""));
    ThroughputLimiter& engine = fixture.engine();
    ListenerLog calls;
    auto twice = calls.listener("twice");
    engine.addTrafficListener(twice);
    engine.addTrafficListener(calls.listener("once"));
    engine.addTrafficListener(twice);
    EXPECT_THAT(calls.during(fixture, [&] { engine.fireAllEventsToListeners(); }),
                ElementsAre("twice.ack", "twice.data", "twice.queue", "once.ack", "once.data",
                            "once.queue", "twice.ack", "twice.data", "twice.queue"));
    engine.removeTrafficListener(twice.get());
    EXPECT_THAT(calls.during(fixture,
                             [&] {
                                 engine.fireRefreshEventToListeners();
                                 engine.fireDataEventToListeners(1500.0);
                                 engine.fireAckEventToListeners(40.0);
                                 engine.fireQueueSizeEventToListeners(3.0);
                             }),
                ElementsAre("once.refresh", "once.data", "once.ack", "once.queue"));
}

}  // namespace
}  // namespace quellbox
