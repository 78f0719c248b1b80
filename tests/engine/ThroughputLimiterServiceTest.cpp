// The engine's service operations, settings and start-up over the simulated firewall.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "EngineDoubles.h"
#include "SimEngineFixture.h"
#include "firewall/SimFirewallState.h"
#include "platform/SystemLog.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using testing::ControlledSocket;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::SimEngineFixture;

// The simulated firewall tool refuses every `verb` command ("add", "delete"), or, given none,
// nothing any more.
void refuse(SimEngineFixture& sim, const char* verb) {
    ASSERT_TRUE(SimFirewallState::update(sim.kernel().statePath(), [verb](SimFirewallState& state) {
        state.refusals.clear();
        if (verb != nullptr) {
            state.refusals.push_back({verb, 0});
        }
        return true;
    }));
}

TEST(ThroughputLimiterServices, OneRulePerPortAndOnlyARecordedServiceIsDeruled) {
    SimEngineFixture sim;
    auto service = std::make_shared<Service>("Server", 6700);
    refuse(sim, "delete");
    EXPECT_EQ(sim.engine().removeULService(service), 0);
    refuse(sim, nullptr);
    EXPECT_EQ(sim.engine().addULService(service), 0);
    EXPECT_EQ(sim.engine().addULService(std::make_shared<Service>("Same port", 6700)), 0);
    EXPECT_EQ(sim.engine().addULService(std::make_shared<Service>("No port", 0)), 0);
    EXPECT_EQ(sim.firewallRules(), 2U);
    EXPECT_TRUE(sim.engine().isCappedUL(6700));
    EXPECT_FALSE(sim.engine().isCappedUL(0));
    EXPECT_THAT(sim.problems(), IsEmpty());
    EXPECT_EQ(sim.engine().removeULService(service), 0);
    EXPECT_EQ(sim.firewallRules(), 0U);
    EXPECT_FALSE(sim.engine().isCappedUL(6700));
}

TEST(ThroughputLimiterServices, FailingRuleCommandsAreReportedAndChangeNothing) {
    SimEngineFixture sim;
    refuse(sim, "add");
    auto service = std::make_shared<Service>("Server", 6700);
    EXPECT_EQ(sim.engine().addULService(service), -1);
    EXPECT_FALSE(sim.engine().isCappedUL(6700));
    sim.expectOnlyProblem(
        "Error : Can't create rule for this Service",
        "There is no free rule left.\nIf you are using a FireWall, please move it's own rules to "
        "higher numbers.",
        false);
    // The download cap of a service whose rule fails is recorded nowhere either.
    EXPECT_EQ(sim.engine().addDLService(service), -1);
    EXPECT_FALSE(sim.engine().isCappedUL(6700));
    EXPECT_FALSE(sim.engine().isCappedDL(6700));

    refuse(sim, nullptr);
    ASSERT_EQ(sim.engine().addULService(service), 0);
    refuse(sim, "delete");
    EXPECT_EQ(sim.engine().removeULService(service), -1);
    EXPECT_TRUE(sim.engine().isCappedUL(6700));
    const auto problems = sim.problems();
    ASSERT_EQ(problems.size(), 3U);
    EXPECT_EQ(problems[2].title, "Error : Can't remove rule for this Service");
    EXPECT_EQ(problems[2].msg,
              "There is a problem with ipfw command.\nIf you are using a FireWall, please quit it "
              "and launch it before Quellbox.");
    EXPECT_FALSE(problems[2].needToQuit);
}

// The firewall refuses every command meanwhile: none may run.
TEST(ThroughputLimiterServices, DownloadCapOfAnUploadCappedServiceRunsNoCommand) {
    SimEngineFixture sim;
    auto service = std::make_shared<Service>("Server", 6700);
    ASSERT_EQ(sim.engine().addULService(service), 0);
    refuse(sim, "add");
    EXPECT_EQ(sim.engine().addDLService(service), 0);
    EXPECT_TRUE(sim.engine().isCappedDL(6700));

    // Forgetting the download cap keeps the divert rule and the upload cap.
    refuse(sim, "delete");
    EXPECT_EQ(sim.engine().removeDLService(service), 0);
    EXPECT_FALSE(sim.engine().isCappedDL(6700));
    EXPECT_TRUE(sim.engine().isCappedUL(6700));
    EXPECT_EQ(sim.firewallRules(), 2U);
    // Also for a service that never had one.
    EXPECT_EQ(sim.engine().removeDLService(std::make_shared<Service>("Other", 6800)), 0);
    EXPECT_THAT(sim.problems(), IsEmpty());
}

TEST(ThroughputLimiterSettings, PauseAndFactorAreMagnitudesAndTheDownloadModeOwnsThePause) {
    SimEngineFixture sim;
    ThroughputLimiter& engine = sim.engine();
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
// packets of a port capped meanwhile pass the kernel untouched.
TEST(ThroughputLimiterStartUp, WithoutAnOwnAddressOrASocketTheEngineEnds) {
    struct Case {
        bool offline;
        bool failOpen;
        bool failBind;
        const char* problem;
    };
    for (const Case& test :
         {Case{true, false, false, nullptr},
          Case{false, true, false, "Error : Quellbox can't create the divert socket for ipfw"},
          Case{false, false, true, "Error : Quellbox can't bind the divert socket for ipfw"}}) {
        SCOPED_TRACE(test.problem ? test.problem : "no own address");
        SystemLogCapture log;
        auto options = SimEngineFixture::Options::controlled();
        options.offline = test.offline;
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
        if (test.offline) {
            continue;  // a machine without an address has no rule to divert with either
        }
        ASSERT_NE(sim.cap(6700), nullptr);
        sim.inject(sim.serverPacket(6700, "192.0.2.10", 1000));
        EXPECT_EQ(sim.kernel().counters().passed, 1U);
        EXPECT_EQ(sim.engine().counters().read, 0U);
    }
}

}  // namespace
}  // namespace quellbox
