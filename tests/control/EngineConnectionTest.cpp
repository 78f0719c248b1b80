// The window's side of the control connection against the real engine program on the
// simulated network, with a home, settings and simulated firewall of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "TempDir.h"
#include "control/ControlChannel.h"
#include "control/ControlCodec.h"
#include "control/EngineClient.h"
#include "control/EngineProcess.h"
#include "firewall/SimFirewallState.h"
#include "platform/AtomicFile.h"
#include "settings/Service.h"

namespace quellbox::control {
namespace {

using namespace std::chrono_literals;

constexpr const char* kScenario =
    "service 6700 Server download\n"
    "client 192.0.2.10 download port=6700 login=alice name=\"Alice\" demand=200 priority=10\n";

class EngineConnectionTest : public ::testing::Test {
protected:
    EngineConnectionTest() {
        setenv("HOME", folder_.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", folder_.path().c_str(), 1);
        setenv("QUELLBOX_SIM_STATE", state().c_str(), 1);
        EXPECT_TRUE(AtomicFile::write(folder_ / "demo.scenario", kScenario));
    }

    std::filesystem::path state() const { return folder_ / "sim.state"; }
    std::size_t rules() const {
        const auto loaded = SimFirewallState::load(state());
        return loaded ? loaded->rules.size() : 0;
    }
    std::vector<std::string> arguments() const {
        return {"--backend", "sim", "--scenario", (folder_ / "demo.scenario").string()};
    }
    std::unique_ptr<EngineClient> startClient() {
        std::string error;
        auto client = EngineClient::start(
            {QUELLBOX_ENGINE_BINARY, arguments()},
            {{},
             [this](const std::string& key, const auto&) { settingsSeen.push_back(key); },
             [this](const std::string& reason) { deaths.push_back(reason); },
             {}},
            error);
        EXPECT_TRUE(client) << error;
        return client;
    }
    // Hands events on until `done` holds; false after the guard (a failure guard only).
    static bool dispatchUntil(EngineClient& client, const std::function<bool()>& done) {
        const auto guard = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < guard) {
            std::this_thread::sleep_for(20ms);
            client.dispatchEvents();
        }
        return done();
    }

    testing::TempDir folder_;
    std::vector<std::string> settingsSeen;
    std::vector<std::string> deaths;
};

TEST_F(EngineConnectionTest, DrivesTheEngineAndTheEngineWindsDownAtTheClose) {
    auto client = startClient();
    ASSERT_TRUE(client);
    EXPECT_EQ(client->hello().backendName, "sim");
    ASSERT_EQ(client->hello().scenarioServices.size(), 1U);
    EXPECT_EQ(client->hello().scenarioServices[0], (ScenarioService{"Server", 6700, true}));

    const auto server = std::make_shared<Service>("Server", 6700);
    EXPECT_EQ(client->addDLService(server), 0);
    EXPECT_EQ(rules(), 2U);
    EXPECT_EQ(client->setDATARate(20.0F), 0);
    EXPECT_EQ(client->getDATARate(), 20.0F);
    EXPECT_EQ(client->setDATARate(std::nanf("")), -1);
    EXPECT_EQ(client->setACKPause(INFINITY), -1);
    EXPECT_EQ(client->addULService(std::make_shared<Service>("Nothing", 70000)), -1);
    EXPECT_FALSE(client->setSetting("DATARate", PlistValue(1)));  // not one the engine reads
    EXPECT_TRUE(client->setSetting("NetworkIf", PlistValue("sim0")));

    client->activate(true);
    EXPECT_TRUE(client->isActivated());
    ASSERT_TRUE(dispatchUntil(*client, [&] { return !client->clientSnapshot().rows.empty(); }));
    const auto alice = client->clientSnapshot().rows.front();
    EXPECT_EQ(alice.address, "192.0.2.10");
    EXPECT_EQ(alice.login, "alice");
    EXPECT_EQ(alice.priority, 10);
    EXPECT_FALSE(client->setClientPriority(alice.ip, 11));
    EXPECT_TRUE(client->setClientPriority(alice.ip, 3));
    EXPECT_EQ(client->clientSnapshot().rows.front().priority, 3);
    // The simulator's own log reached the window's settings.
    EXPECT_NE(std::find(settingsSeen.begin(), settingsSeen.end(), "logPath"), settingsSeen.end());

    const pid_t engine = *client->enginePid();
    client.reset();  // closes the connection; waits for the wind-down
    EXPECT_EQ(::kill(engine, 0), -1) << "the engine is still running";
    EXPECT_EQ(rules(), 0U) << "the engine left the rules the window had not removed";
    EXPECT_TRUE(deaths.empty());
}

TEST_F(EngineConnectionTest, ARestartedEngineIsToldWhatTheOneThatDiedWasTold) {
    auto client = startClient();
    ASSERT_TRUE(client);
    ASSERT_EQ(client->addULService(std::make_shared<Service>("Server", 6700)), 0);
    ASSERT_EQ(::kill(*client->enginePid(), SIGKILL), 0);
    ASSERT_TRUE(dispatchUntil(*client, [&] { return !client->alive(); }));
    ASSERT_EQ(deaths.size(), 1U);
    EXPECT_EQ(client->setDATARate(10.0F), -1);  // nobody to tell
    EXPECT_EQ(rules(), 2U);  // a killed engine leaves its rules; traffic bypasses them

    std::string error;
    ASSERT_TRUE(client->restart(error)) << error;
    EXPECT_EQ(rules(), 4U) << "the service was not capped again";
    EXPECT_EQ(client->removeULService(std::make_shared<Service>("Server", 6700)), 0);
    EXPECT_EQ(rules(), 2U);
}

// A window that breaks the protocol ends the connection; the engine removes what it capped
// for it and exits with status 1.
TEST_F(EngineConnectionTest, ABrokenMessageEndsTheConnectionAndTheEngineWindsDown) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;  // sent after the greeting and one capped service
    };
    auto wrongVersion = ControlCodec::encode(SnapshotRequest{});
    wrongVersion[ControlCodec::kHeaderBytes] = kProtocolVersion + 1;
    const Case cases[] = {
        {"truncated", {0, 0, 0, 10, kProtocolVersion, 2}},
        {"oversized", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"wrong version", wrongVersion},
        {"an engine's message", ControlCodec::encode(Result{0})},
    };
    for (const auto& test : cases) {
        std::string error;
        auto process = EngineProcess::spawn(QUELLBOX_ENGINE_BINARY, arguments(), error);
        ASSERT_TRUE(process) << error;
        ControlChannel channel(process->takeSocket());
        ASSERT_TRUE(channel.send(Hello{}));
        ASSERT_TRUE(channel.send(ServiceCall{ServiceCall::Operation::AddUL, "Server", 6700}));
        std::optional<Message> answer;
        while (!answer || !std::holds_alternative<Result>(*answer)) {
            answer = channel.receive(error);
            ASSERT_TRUE(answer) << test.what << ": " << error;
        }
        ASSERT_EQ(std::get<Result>(*answer).value, 0) << test.what;
        ASSERT_EQ(rules(), 2U) << test.what;
        ASSERT_EQ(::send(channel.fd(), test.bytes.data(), test.bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(test.bytes.size()));
        ::shutdown(channel.fd(), SHUT_WR);
        const int status = process->finish(20s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << test.what << ": " << status;
        EXPECT_EQ(rules(), 0U) << test.what;
    }
}

TEST_F(EngineConnectionTest, AnEngineThatCannotRunIsReportedWithTheReason) {
    std::string error;
    EXPECT_FALSE(EngineClient::start({(folder_ / "missing").string(), {}}, {}, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(
        EngineClient::start({QUELLBOX_ENGINE_BINARY, {"--backend", "nowhere"}}, {}, error));
    EXPECT_NE(error.find("exit status 2"), std::string::npos) << error;
}

}  // namespace
}  // namespace quellbox::control
