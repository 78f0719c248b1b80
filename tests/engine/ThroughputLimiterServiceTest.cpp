// The engine's service operations, settings, listeners and start-up, mostly against a rule
// manager that runs no program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

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
using testing::RecordingListener;
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

TEST(ThroughputLimiterServices, FailingRuleCommandsAreReportedAndChangeNothing) {
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

    fixture.rule.failApply = false;
    ASSERT_EQ(fixture.engine().addULService(service), 0);
    fixture.rule.failDerule = true;
    EXPECT_EQ(fixture.engine().removeULService(service), -1);
    EXPECT_TRUE(fixture.engine().isCappedUL(6700));
    const auto problems = fixture.sim.problems();
    ASSERT_EQ(problems.size(), 3U);
    EXPECT_EQ(problems[2].title, "Error : Can't remove rule for this Service");
    EXPECT_EQ(problems[2].msg,
              "There is a problem with ipfw command.\nIf you are using a FireWall, please quit it "
              "and launch it before Quellbox.");
    EXPECT_FALSE(problems[2].needToQuit);
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

// Without an own address, or a socket it can open and bind, nothing reads the divert port:
// packets of a capped port pass the kernel untouched.
TEST(ThroughputLimiterStartUp, WithoutAnOwnAddressOrASocketTheEngineEnds) {
    struct Case {
        const char* ownAddress;
        bool failOpen;
        bool failBind;
        const char* problem;
    };
    for (const Case& test : {Case{"", false, false, nullptr},
                             Case{"192.0.2.1", true, false,
                                  "Error : Quellbox can't create the divert socket for ipfw"},
                             Case{"192.0.2.1", false, true,
                                  "Error : Quellbox can't bind the divert socket for ipfw"}}) {
        SCOPED_TRACE(test.problem ? test.problem : "no own address");
        SystemLogCapture log;
        auto options =
            SimEngineFixture::Options::withRule(std::make_unique<FakeRule>(test.ownAddress));
        options.controlledSocket = true;
        options.configureSocket = [&test](ControlledSocket& socket) {
            socket.failOpen = test.failOpen;
            socket.failBind = test.failBind;
        };
        SimEngineFixture sim(std::move(options));
        EXPECT_FALSE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
        EXPECT_FALSE(sim.engine().isRunning());
        if (test.problem != nullptr) {
            sim.expectOnlyProblem(
                test.problem, "Please check Quellbox has enough privileges or reinstall it.", true);
        }
        EXPECT_EQ(sim.socket()->receiveCalls(), 0);
        EXPECT_EQ(sim.socket()->closeCalls(), test.failBind ? 1 : 0);
        if (test.failOpen) {
            EXPECT_THAT(log.errorLines(), ElementsAre(::testing::StartsWith(
                                              "Quellbox Error : divert socket not created !: ")));
        }
        ASSERT_NE(sim.cap(6700), nullptr);
        sim.inject(sim.serverPacket(6700, "192.0.2.10", 1000));
        EXPECT_EQ(sim.kernel().counters().passed, 1U);
        EXPECT_EQ(sim.engine().counters().read, 0U);
    }
}

// ---- listeners ------------------------------------------------------------------------------

std::vector<std::string> whatWasCalled(const RecordingListener& listener) {
    std::vector<std::string> calls;
    for (const auto& call : listener.calls()) {
        calls.push_back(call.what);
    }
    return calls;
}

// Without an own address the engine has no flushing thread, and on the main loop no gauge tick
// interleaves: every call the listeners see comes from here.
TEST(ThroughputLimiterListeners, EachIsCalledAsOftenAsAddedUntilRemovedEverywhere) {
    FakeRuleEngine fixture(std::make_unique<FakeRule>(""));
    ThroughputLimiter& engine = fixture.engine();
    auto twice = std::make_shared<RecordingListener>();
    auto once = std::make_shared<RecordingListener>();
    std::vector<std::string> twiceCalls;
    std::vector<std::string> onceCalls;
    fixture.sim.runLoop().performOnMainThread(
        [&] {
            engine.addTrafficListener(twice);
            engine.addTrafficListener(once);
            engine.addTrafficListener(twice);
            engine.fireAllEventsToListeners();
            engine.removeTrafficListener(twice.get());
            engine.fireRefreshEventToListeners();
            engine.fireDataEventToListeners(1500.0);
            engine.fireAckEventToListeners(40.0);
            engine.fireQueueSizeEventToListeners(3.0);
            twiceCalls = whatWasCalled(*twice);
            onceCalls = whatWasCalled(*once);
        },
        true);
    EXPECT_THAT(twiceCalls, ElementsAre("ack", "data", "queue", "ack", "data", "queue"));
    EXPECT_THAT(onceCalls, ElementsAre("ack", "data", "queue", "refresh", "data", "ack", "queue"));
}

}  // namespace
}  // namespace quellbox
