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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "ProgramRun.h"
#include "TempDir.h"
#include "TestUser.h"
#include "control/EngineClient.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using namespace privileged;
using namespace std::chrono_literals;
using testing::ProgramRun;

constexpr int kServicePort = 6700;
constexpr const char* kSecondClient = "192.0.2.21";
constexpr const char* kServiceRule = "divert 6715 tcp from 192.0.2.10 6700 to any out via ";

// One TCP connection from a client address in the peer namespace to the service port in the
// sender namespace; one side sends as fast as it can, the other counts what it receives.
class Flow {
public:
    enum class Direction { Upload, Download };  // seen from the server: it sends / it receives

    Flow(std::string clientAddress, Direction direction)
        : clientAddress_(std::move(clientAddress)), direction_(direction) {}
    ~Flow() {
        stopped_.store(true);
        for (const int fd : {serverFd_, clientFd_}) {
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);  // wakes the blocked send or receive
            }
        }
        for (auto* thread : {&server_, &client_}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
        for (const int fd : {serverFd_, clientFd_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    // Connects through `listener`, listening on the service port in the sender namespace;
    // flows are started one after the other, so each accepts its own client.
    bool start(const NamespacePair& pair, int listener) {
        clientFd_ = connectIn(pair.peer(), clientAddress_, kSenderAddress, kServicePort);
        serverFd_ = clientFd_ < 0 ? -1 : ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (serverFd_ < 0) {
            return false;
        }
        server_ = std::thread([this] { pump(serverFd_, direction_ == Direction::Upload); });
        client_ = std::thread([this] { pump(clientFd_, direction_ == Direction::Download); });
        return true;
    }

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

    std::string clientAddress_;
    Direction direction_;
    int serverFd_ = -1;
    int clientFd_ = -1;
    std::thread server_;
    std::thread client_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopped_{false};
};

// What an interface of a namespace has sent, from `ip -s -j link`: bytes and packets.
std::optional<std::pair<double, double>> sentBy(const std::string& ns, const std::string& link) {
    std::string json;
    if (!run({kIp, "-n", ns, "-s", "-j", "link", "show", "dev", link}, &json)) {
        return std::nullopt;
    }
    const auto tx = json.find("\"tx\":{");
    auto field = [&](const std::string& name) {
        const auto at = json.find("\"" + name + "\":", tx);
        return at == std::string::npos ? 0.0 : std::stod(json.substr(at + name.size() + 3));
    };
    return tx == std::string::npos ? std::nullopt
                                   : std::optional(std::pair(field("bytes"), field("packets")));
}

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
#ifndef QUELLBOX_HAVE_NFQUEUE
        GTEST_SKIP() << "this build has no libnetfilter_queue: the nfqueue backend is not built";
#else
        if (const std::string why = pair_.createOrWhyNot(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        if (const std::string why = nfqueueProblem(pair_.sender()); !why.empty()) {
            GTEST_SKIP() << why;
        }
        if (const std::string why = user_.createOrWhyNot(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        writeSettings(home_.path(), kServicePort);
        before_ = iptablesState(pair_.sender());
        listener_ = listenIn(pair_.sender(), kSenderAddress, kServicePort);
        ASSERT_GE(listener_, 0) << std::strerror(errno);
#endif
    }

    void TearDown() override {
        if (listener_ >= 0) {
            ::close(listener_);
        }
    }

    // A run of the engine as the test's user, with or without the shaping rights.
    std::unique_ptr<ProgramRun> engineRun(const std::vector<std::string>& arguments,
                                          bool withRights = true) {
        EXPECT_TRUE(user_.own(home_.path()));
        auto command = user_.runAs(withRights);
        command.push_back(QUELLBOX_ENGINE_BINARY);
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto run = std::make_unique<ProgramRun>(
            ProgramRun::Options{command, pair_.sender(), home_.path(), {}});
        EXPECT_TRUE(run->start());
        return run;
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
        EXPECT_NE(run.output().find("Stopped."), std::string::npos) << run.output();
    }

    std::string rules() {
        std::string listing;
        EXPECT_TRUE(ipfwIn(pair_.sender(), {"list"}, &listing));
        return listing;
    }

    // The IP bytes per second (Ethernet headers taken off) the sender's link sends.
    double uploadRate() {
        return rateOf(
            [&] {
                const auto sent = sentBy(pair_.sender(), pair_.senderLink());
                EXPECT_TRUE(sent) << "cannot read the counters of " << pair_.senderLink();
                return sent ? sent->first - 14.0 * sent->second : 0.0;
            },
            3000ms);
    }

    // Past the connection's start, the upload is within 10% of `kib` KiB/s.
    void expectUploadAt(double kib) {
        std::this_thread::sleep_for(1500ms);
        const double rate = uploadRate();
        EXPECT_NEAR(rate / (kib * 1024.0), 1.0, 0.10) << rate / 1024.0 << " KiB/s";
    }

    NamespacePair pair_;
    TestUser user_;
    testing::TempDir home_;
    std::string before_;
    int listener_ = -1;
};

#ifdef QUELLBOX_HAVE_NFQUEUE

// Both ways the engine is started: as the window starts it, a child on a socket pair (here
// through ip netns and setpriv, as the test's user with the shaping rights) driven over the
// control protocol, whose closing winds it down; and headless, stopped by SIGTERM.
TEST_F(ShapingOnTheRealPath, UploadIsHeldToTheCapAndTheWindDownRemovesEveryRule) {
    ASSERT_TRUE(user_.own(home_.path()));
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);
    std::vector<std::string> arguments{"netns", "exec", pair_.sender()};
    const auto asUser = user_.runAs(true);
    arguments.insert(arguments.end(), asUser.begin(), asUser.end());
    arguments.insert(arguments.end(), {QUELLBOX_ENGINE_BINARY, "--backend", "nfqueue"});
    std::string error;
    auto window = control::EngineClient::start({kIp, arguments}, {}, error);
    ASSERT_TRUE(window) << error;
    EXPECT_EQ(window->hello().backendName, "nfqueue");
    ASSERT_EQ(window->addULService(std::make_shared<Service>("Server", kServicePort)), 0);
    ASSERT_EQ(window->setDATARate(1024.0F), 0);
    EXPECT_NE(rules().find(kServiceRule + pair_.senderLink()), std::string::npos);
    Flow upload(kPeerAddress, Flow::Direction::Upload);
    ASSERT_TRUE(upload.start(pair_, listener_));
    expectUploadAt(1024);
    window.reset();
    EXPECT_EQ(iptablesState(pair_.sender()), before_);

    auto quellbox = startQuellbox({"--rate", "10240"});
    EXPECT_NE(rules().find(kServiceRule + pair_.senderLink()), std::string::npos);
    expectUploadAt(10240);
    stopQuellbox(*quellbox);
    EXPECT_EQ(iptablesState(pair_.sender()), before_);
    EXPECT_TRUE(upload.healthy());
}

TEST_F(ShapingOnTheRealPath, AckPauseSlowsADownloadIntoTheServer) {
    auto quellbox = startQuellbox({"--rate", "-1", "--ack-pause", "20000"});
    Flow download(kPeerAddress, Flow::Direction::Download);
    ASSERT_TRUE(download.start(pair_, listener_));
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
    writeSettings(home_.path(), kServicePort,
                  "<key>logPath</key><string>" + log.string() +
                      "</string>\n<key>useServerLogFile</key><true/>\n");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.priorities);
        std::ofstream(log.parent_path() / "Quellbox Default Priorities.txt") << test.priorities;
        auto quellbox = startQuellbox({"--rate", "1024", "--priority-mode"});
        Flow alice(kPeerAddress, Flow::Direction::Upload);
        Flow bob(kSecondClient, Flow::Direction::Upload);
        ASSERT_TRUE(alice.start(pair_, listener_));
        ASSERT_TRUE(bob.start(pair_, listener_));
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
        EXPECT_EQ(iptablesState(pair_.sender()), before_);
    }
}

TEST_F(ShapingOnTheRealPath, AfterKillNineTrafficFlowsAndTheNextRunCapsAgain) {
    auto first = startQuellbox({"--rate", "1024"});
    Flow upload(kPeerAddress, Flow::Direction::Upload);
    ASSERT_TRUE(upload.start(pair_, listener_));
    std::this_thread::sleep_for(1000ms);
    ASSERT_TRUE(first->signal(SIGKILL));
    EXPECT_EQ(first->wait(), -SIGKILL);
    // The rules stay, nobody reads the queue: the kernel lets the packets pass unshaped.
    EXPECT_NE(rules().find("divert 6715"), std::string::npos);
    std::this_thread::sleep_for(500ms);
    const double unshaped = uploadRate();
    EXPECT_GT(unshaped, 3.0 * 1024 * 1024) << unshaped / 1024 << " KiB/s";

    // The next run puts its rules below the stale ones and caps the same port.
    auto second = startQuellbox({"--rate", "1024"});
    expectUploadAt(1024);
    stopQuellbox(*second);
    EXPECT_TRUE(upload.healthy());

    // Its wind-down removed its own rules; --cleanup takes the killed run's away.
    EXPECT_NE(iptablesState(pair_.sender()), before_);
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

#endif  // QUELLBOX_HAVE_NFQUEUE

}  // namespace
}  // namespace quellbox
