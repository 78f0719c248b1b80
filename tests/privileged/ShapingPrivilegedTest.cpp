// quellbox-engine on the nfqueue backend, run as a user of the test's own with only the shaping
// rights (as the systemd unit starts it), shaping TCP connections between two network
// namespaces: the engine and the server in the sender namespace (192.0.2.10), the clients in
// the peer (192.0.2.20 and .21). Rate bounds are loose; the precise figures come from
// bench/realnet. Needs root; skips with the reason where it cannot run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "TempDir.h"
#include "TestUser.h"
#include "control/EngineClient.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using namespace privileged;
using namespace std::chrono_literals;
using testing::ProgramRun;

constexpr const char* kSecondClient = "192.0.2.21";

// One TCP connection from a client address in the peer namespace to the service port in the
// sender namespace; one side sends as fast as it can, the other counts what it receives.
class Flow {
public:
    enum class Direction { Upload, Download };  // seen from the server: it sends / it receives

    // Connects from `clientAddress` through `listener`, listening on the service port in the
    // sender namespace; flows are made one after the other, so each accepts its own client.
    Flow(const NamespacePair& pair, int listener, const std::string& clientAddress,
         Direction direction) {
        clientFd_ = connectIn(pair.peer(), clientAddress, kSenderAddress, kServicePort);
        serverFd_ = clientFd_ < 0 ? -1 : ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connected()) {
            const bool serverSends = direction == Direction::Upload;
            server_ = std::thread([=, this] { pump(serverFd_, serverSends); });
            client_ = std::thread([=, this] { pump(clientFd_, !serverSends); });
        }
    }
    ~Flow() {  // an fd of -1 makes shutdown and close fail harmlessly
        stopped_.store(true);
        for (const int fd : {serverFd_, clientFd_}) ::shutdown(fd, SHUT_RDWR);  // wakes the pumps
        for (auto* thread : {&server_, &client_}) {
            if (thread->joinable()) thread->join();
        }
        for (const int fd : {serverFd_, clientFd_}) ::close(fd);
    }

    bool connected() const { return serverFd_ >= 0; }
    // Bytes the receiving side has read so far.
    std::uint64_t received() const { return received_.load(); }
    // True while the sending side has met no error.
    bool healthy() const { return !failed_.load(); }

private:
    void pump(int fd, bool sends) {
        std::vector<char> buffer(64 * 1024, 'q');
        while (!stopped_.load()) {
            const ssize_t n = sends ? ::send(fd, buffer.data(), buffer.size(), MSG_NOSIGNAL)
                                    : ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                failed_.store(!stopped_.load());
                return;
            }
            if (!sends) {
                received_.fetch_add(static_cast<std::uint64_t>(n));
            }
        }
    }

    int serverFd_ = -1;
    int clientFd_ = -1;
    std::thread server_;
    std::thread client_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopped_{false};
};

// Bytes per second that `count` goes up by during `window`.
template <typename Count>
double rateOf(Count count, std::chrono::milliseconds window) {
    const double before = count();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    const double after = count();
    return (after - before) /
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ShapingOnTheRealPath : public ::testing::Test {
protected:
    void SetUp() override {
        QUELLBOX_SKIP_IF(pair_.createOrWhyNot());
        QUELLBOX_SKIP_IF(nfqueueProblem(pair_.sender()));
        QUELLBOX_SKIP_IF(user_.createOrWhyNot());
        writeSettings(home_.path());
        before_ = iptablesState(pair_.sender());
        listener_ = listenIn(pair_.sender(), kSenderAddress, kServicePort);
        ASSERT_GE(listener_, 0) << std::strerror(errno);
    }

    void TearDown() override { ::close(listener_); }  // of -1 when skipped: fails harmlessly

    // A run of the engine as the test's user, with or without the shaping rights.
    std::unique_ptr<ProgramRun> engineRun(std::vector<std::string> arguments,
                                          bool withRights = true) {
        EXPECT_TRUE(user_.own(home_.path()));
        arguments.insert(arguments.begin(), QUELLBOX_ENGINE_BINARY);
        return user_.start({arguments, pair_.sender(), home_.path(), {}}, withRights);
    }

    std::unique_ptr<ProgramRun> startQuellbox(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--headless", "--backend", "nfqueue"});
        auto run = engineRun(arguments);
        EXPECT_TRUE(run->waitFor("headless on the nfqueue backend")) << run->output();
        return run;
    }

    // Stops a run with SIGTERM; its wind-down takes every rule it added away.
    void stopQuellbox(ProgramRun& run) {
        ASSERT_TRUE(run.signal(SIGTERM));
        EXPECT_EQ(run.wait(), 0) << run.output();
    }

    // The IP bytes per second (Ethernet headers taken off) the sender's link sends, from the
    // counters `ip -s -j link` shows, once the connection has settled after a start or change.
    double uploadRate() {
        std::this_thread::sleep_for(1500ms);
        return rateOf(
            [&] {
                std::string json;
                EXPECT_TRUE(run({kIp, "-n", pair_.sender(), "-s", "-j", "link", "show", "dev",
                                 pair_.senderLink()},
                                &json));
                const auto tx = json.find("\"tx\":{");
                EXPECT_NE(tx, std::string::npos) << json;
                const auto field = [&](const std::string& name) {
                    const auto at = json.find("\"" + name + "\":", tx);
                    return at == std::string::npos ? 0.0
                                                   : std::stod(json.substr(at + name.size() + 3));
                };
                return field("bytes") - 14.0 * field("packets");
            },
            3000ms);
    }

    // The upload is within 10% of `kib` KiB/s.
    void expectUploadAt(double kib) {
        const double rate = uploadRate();
        EXPECT_NEAR(rate / (kib * 1024.0), 1.0, 0.10) << rate / 1024.0 << " KiB/s";
    }

    NamespacePair pair_;
    TestUser user_;
    testing::TempDir home_;
    std::string before_;
    int listener_ = -1;
};

// Both ways the engine is started: as the window starts it, a child on a socket pair (here
// through ip netns and setpriv, as the test's user with the shaping rights) driven over the
// control protocol, whose closing winds it down; and headless, stopped by SIGTERM.
TEST_F(ShapingOnTheRealPath, UploadIsHeldToTheCapAndTheWindDownRemovesEveryRule) {
    ASSERT_TRUE(user_.own(home_.path()));
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);
    auto arguments = user_.runAs(true);
    arguments.insert(arguments.begin(), {"netns", "exec", pair_.sender()});
    arguments.insert(arguments.end(), {QUELLBOX_ENGINE_BINARY, "--backend", "nfqueue"});
    std::string error;
    auto window = control::EngineClient::start({kIp, arguments}, {}, error);
    ASSERT_TRUE(window) << error;
    ASSERT_EQ(window->addULService(std::make_shared<Service>("Server", kServicePort)), 0);
    ASSERT_EQ(window->setDATARate(1024.0F), 0);
    Flow upload(pair_, listener_, kPeerAddress, Flow::Direction::Upload);
    ASSERT_TRUE(upload.connected());
    expectUploadAt(1024);
    window.reset();
    EXPECT_EQ(iptablesState(pair_.sender()), before_);

    auto quellbox = startQuellbox({"--rate", "10240"});
    expectUploadAt(10240);
    stopQuellbox(*quellbox);
    EXPECT_EQ(iptablesState(pair_.sender()), before_);
    EXPECT_TRUE(upload.healthy());
}

TEST_F(ShapingOnTheRealPath, AckPauseSlowsADownloadIntoTheServer) {
    auto quellbox = startQuellbox({"--rate", "-1", "--ack-pause", "20000"});
    Flow download(pair_, listener_, kPeerAddress, Flow::Direction::Download);
    ASSERT_TRUE(download.connected());
    const auto received = [&] { return static_cast<double>(download.received()); };
    std::this_thread::sleep_for(1000ms);
    const double paused = rateOf(received, 2000ms);
    // Stopping Quellbox lets the acknowledgements go at once: the same connection speeds up.
    stopQuellbox(*quellbox);
    std::this_thread::sleep_for(500ms);
    const double free = rateOf(received, 2000ms);
    EXPECT_TRUE(download.healthy());
    EXPECT_GT(paused, 0.0);
    EXPECT_LT(paused * 2.0, free) << "paused " << paused / 1024 << " KiB/s, free " << free / 1024
                                  << " KiB/s";
}

// Two named clients of the server, both uploading as fast as the cap lets them: equal
// priorities share the upload evenly; priorities 10 and 0 give the higher one most of it, and
// the lower one still moves (it never stands still for two seconds).
TEST_F(ShapingOnTheRealPath, PriorityModeSharesTheUploadByPriority) {
    struct Case {
        const char* priorities;
        double aliceLeast;  // alice's share of what both received, bounds included
        double aliceMost;
    };
    const Case cases[] = {{"alice=5\nbob=5\n", 0.45, 0.55}, {"alice=10\nbob=0\n", 0.55, 0.999}};
    ASSERT_TRUE(pair_.addPeerAddress(kSecondClient));
    // The server's Downloads log names the two clients; their logins' default priorities lie
    // beside it.
    const auto log = home_.path() / "server" / "Downloads";
    std::filesystem::create_directories(log.parent_path());
    std::ofstream(log, std::ios::binary)
        << "2024/05/01 10:00:00\t" << kPeerAddress << "\talice\tAlice\t/Files/a.zip\r"
        << "2024/05/01 10:00:01\t" << kSecondClient << "\tbob\tBob\t/Files/b.zip\r";
    writeSettings(home_.path(), "<key>logPath</key><string>" + log.string() +
                                    "</string>\n<key>useServerLogFile</key><true/>\n");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.priorities);
        std::ofstream(log.parent_path() / "Quellbox Default Priorities.txt") << test.priorities;
        auto quellbox = startQuellbox({"--rate", "1024", "--priority-mode"});
        Flow alice(pair_, listener_, kPeerAddress, Flow::Direction::Upload);
        Flow bob(pair_, listener_, kSecondClient, Flow::Direction::Upload);
        ASSERT_TRUE(alice.connected() && bob.connected());
        std::this_thread::sleep_for(2000ms);
        const auto aliceBefore = alice.received();
        const auto bobBefore = bob.received();
        int stillSamples = 0;  // of 250 ms each, one after the other
        int longestStill = 0;
        for (int sample = 0; sample < 32; ++sample) {
            const auto bobLast = bob.received();
            std::this_thread::sleep_for(250ms);
            stillSamples = bob.received() == bobLast ? stillSamples + 1 : 0;
            longestStill = std::max(longestStill, stillSamples);
        }
        const double aliceBytes = static_cast<double>(alice.received() - aliceBefore);
        const double bobBytes = static_cast<double>(bob.received() - bobBefore);
        stopQuellbox(*quellbox);
        const double aliceShare = aliceBytes / (aliceBytes + bobBytes);
        EXPECT_GE(aliceShare, test.aliceLeast) << aliceBytes << " / " << bobBytes;
        EXPECT_LE(aliceShare, test.aliceMost) << aliceBytes << " / " << bobBytes;
        EXPECT_LT(longestStill, 8) << "bob stood still for " << longestStill * 250 << " ms";
        // Together they stay near the cap (loosely: each client's share is what is tested).
        EXPECT_LT((aliceBytes + bobBytes) / 8.0, 1.2 * 1024 * 1024);
    }
}

TEST_F(ShapingOnTheRealPath, AfterKillNineTrafficFlowsAndTheNextRunCapsAgain) {
    auto first = startQuellbox({"--rate", "1024"});
    Flow upload(pair_, listener_, kPeerAddress, Flow::Direction::Upload);
    ASSERT_TRUE(upload.connected());
    std::this_thread::sleep_for(1000ms);
    ASSERT_TRUE(first->signal(SIGKILL));
    EXPECT_EQ(first->wait(), -SIGKILL);
    // The rules stay (the cleanup below removes them), nobody reads the queue: the kernel lets
    // the packets pass unshaped.
    const double unshaped = uploadRate();
    EXPECT_GT(unshaped, 3.0 * 1024 * 1024) << unshaped / 1024 << " KiB/s";

    // The next run puts its rules below the stale ones and caps the same port.
    auto second = startQuellbox({"--rate", "1024"});
    expectUploadAt(1024);
    stopQuellbox(*second);
    EXPECT_TRUE(upload.healthy());

    // Its wind-down removed its own rules; --cleanup takes the killed run's away.
    auto cleanup = engineRun({"--cleanup", "--backend", "nfqueue"});
    EXPECT_EQ(cleanup->wait(), 0) << cleanup->output();
    EXPECT_NE(cleanup->output().find("2 divert rule(s) to port 6715 removed"), std::string::npos)
        << cleanup->output();
    EXPECT_EQ(iptablesState(pair_.sender()), before_);
}

TEST_F(ShapingOnTheRealPath, WithoutTheRightsTheSameUserGetsTheSimulatorAndIsToldWhy) {
    auto plain = engineRun({"--headless", "--duration", "1"}, false);
    EXPECT_EQ(plain->wait(), 0) << plain->output();
    EXPECT_EQ(plain->output().rfind("Quellbox does not hold CAP_NET_ADMIN, which the kernel packet "
                                    "queue needs",
                                    0),
              0U)
        << plain->output();
    EXPECT_NE(plain->output().find("headless on the sim backend"), std::string::npos)
        << plain->output();
}

}  // namespace
}  // namespace quellbox
