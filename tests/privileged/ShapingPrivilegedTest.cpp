// quellbox-engine itself on the nfqueue backend, shaping real TCP connections between two
// network namespaces joined by a veth pair: the engine and the server side run in the sender
// namespace (192.0.2.10), the clients in the peer namespace (192.0.2.20 and .21). The engine
// runs as an ordinary user of the test's own holding only the shaping rights, as ambient
// capabilities, the way the systemd unit starts it. Needs root; skips with the reason where
// namespaces or the kernel queue are not available.
//
// Rates are asserted with loose bounds (a busy machine must not fail the test); the precise
// figures come from bench/realnet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "QuellboxRun.h"
#include "TempDir.h"
#include "TestUser.h"
#include "control/EngineClient.h"
#include "firewall/PacketBackend.h"
#include "settings/Service.h"

#ifdef QUELLBOX_HAVE_NFQUEUE
#include "firewall/NfqueueDivertSocket.h"
#endif

namespace quellbox {
namespace {

using namespace privileged;
using namespace std::chrono_literals;

constexpr int kServicePort = 6700;
constexpr const char* kSecondClient = "192.0.2.21";

// ---- TCP traffic of the test's own --------------------------------------------------------

// One TCP connection from a client address in the peer namespace to the service port in the
// sender namespace; one side sends as fast as it can, the other counts what it receives.
class Flow {
public:
    enum class Direction { Upload, Download };  // seen from the server: it sends / it receives

    Flow(const NamespacePair& pair, std::string clientAddress, Direction direction)
        : pair_(pair), clientAddress_(std::move(clientAddress)), direction_(direction) {}
    ~Flow() { stop(); }

    // Connects through `listener`, a socket listening on the service port in the sender
    // namespace; flows are started one after the other, so each accepts its own client.
    bool start(int listener) {
        std::promise<int> accepted;
        auto acceptedResult = accepted.get_future();
        server_ = std::thread([this, listener, &accepted] {
            pollfd wait{listener, POLLIN, 0};
            if (::poll(&wait, 1, 20000) != 1) {
                accepted.set_value(-1);
                return;
            }
            serverFd_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            accepted.set_value(serverFd_ >= 0 ? 0 : errno);
            if (serverFd_ >= 0) {
                pump(serverFd_, direction_ == Direction::Upload);
            }
        });
        std::promise<int> connected;
        auto connectedResult = connected.get_future();
        client_ = std::thread([this, &connected] {
            if (!enterNamespace(pair_.peer())) {
                connected.set_value(-1);
                return;
            }
            clientFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in local = socketAddress(clientAddress_.c_str(), 0);
            const sockaddr_in remote = socketAddress(kSenderAddress, kServicePort);
            const bool ok =
                ::bind(clientFd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                ::connect(clientFd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) ==
                    0;
            connected.set_value(ok ? 0 : errno);
            if (ok) {
                pump(clientFd_, direction_ == Direction::Download);
            }
        });
        const bool clientOk = connectedResult.get() == 0;
        return acceptedResult.get() == 0 && clientOk;
    }

    // A socket listening on the service port in the pair's sender namespace; -1 on failure.
    static int listenOnService(const NamespacePair& pair) {
        int listener = -1;
        inNamespace(pair.sender(), [&] {
            listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            const sockaddr_in address = socketAddress(kSenderAddress, kServicePort);
            if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                    0 ||
                ::listen(listener, 4) != 0) {
                ::close(listener);
                listener = -1;
            }
        });
        return listener;
    }

    // Bytes the receiving side has read so far.
    std::uint64_t received() const { return received_.load(); }
    // True while the sending side has met no error.
    bool healthy() const { return !failed_.load(); }

    void stop() {
        if (stopped_.exchange(true)) {
            return;
        }
        for (const int fd : {serverFd_.load(), clientFd_.load()}) {
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);  // wakes the blocked send or receive
            }
        }
        for (auto* thread : {&server_, &client_}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
        for (const int fd : {serverFd_.load(), clientFd_.load()}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

private:
    static sockaddr_in socketAddress(const char* ip, int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, ip, &address.sin_addr);
        return address;
    }

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

    const NamespacePair& pair_;
    std::string clientAddress_;
    Direction direction_;
    std::thread server_;
    std::thread client_;
    std::atomic<int> serverFd_{-1};
    std::atomic<int> clientFd_{-1};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopped_{false};
};

// ---- measuring ------------------------------------------------------------------------------

struct LinkCounters {
    std::uint64_t bytes = 0;
    std::uint64_t packets = 0;
};

// What an interface of a namespace has sent, from `ip -s -j link`.
std::optional<LinkCounters> sentBy(const std::string& ns, const std::string& link) {
    std::string json;
    if (!run({kIp, "-n", ns, "-s", "-j", "link", "show", "dev", link}, &json)) {
        return std::nullopt;
    }
    const auto tx = json.find("\"tx\":{");
    if (tx == std::string::npos) {
        return std::nullopt;
    }
    auto field = [&](const char* name) -> std::uint64_t {
        const auto at = json.find(std::string("\"") + name + "\":", tx);
        return at == std::string::npos ? 0 : std::stoull(json.substr(at + std::strlen(name) + 3));
    };
    return LinkCounters{field("bytes"), field("packets")};
}

// The IP bytes per second (Ethernet headers taken off) a link sends during `window`.
double ipRateOf(const std::string& ns, const std::string& link, std::chrono::milliseconds window) {
    const auto before = sentBy(ns, link);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    const auto after = sentBy(ns, link);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!before || !after) {
        ADD_FAILURE() << "cannot read the counters of " << link;
        return 0.0;
    }
    const double packets = static_cast<double>(after->packets - before->packets);
    return (static_cast<double>(after->bytes - before->bytes) - 14.0 * packets) / seconds;
}

// Bytes per second a flow's receiver reads during `window`.
double receiveRateOf(const Flow& flow, std::chrono::milliseconds window) {
    const auto before = flow.received();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(flow.received() - before) / seconds;
}

// ---- the fixture ----------------------------------------------------------------------------

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
        // The home of the runs: settings that cap the service port.
        ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);
        writeSettings("");
        before_ = iptablesState(pair_.sender());
        listener_ = Flow::listenOnService(pair_);
        ASSERT_GE(listener_, 0) << std::strerror(errno);
#endif
    }

    void TearDown() override {
        if (listener_ >= 0) {
            ::close(listener_);
        }
    }

    void writeSettings(const std::string& extraEntries) {
        QuellboxRun::writeSettings(home_.path(), kServicePort, extraEntries);
    }

    // A run of the engine as the test's user, with or without the shaping rights.
    std::unique_ptr<QuellboxRun> engineRun(const std::vector<std::string>& arguments,
                                           bool withRights = true) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
            EXPECT_EQ(::chown(entry.path().c_str(), user_.uid(), user_.gid()), 0) << entry.path();
        }
        EXPECT_EQ(::chown(home_.path().c_str(), user_.uid(), user_.gid()), 0);
        auto command = user_.runAs(withRights);
        command.push_back(QUELLBOX_ENGINE_BINARY);
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto run = std::make_unique<QuellboxRun>(
            QuellboxRun::Options{command, pair_.sender(), home_.path(), {}});
        EXPECT_TRUE(run->start());
        return run;
    }

    std::unique_ptr<QuellboxRun> startQuellbox(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--headless", "--backend", "nfqueue"});
        auto run = engineRun(arguments);
        EXPECT_TRUE(run->waitFor("headless on the nfqueue backend")) << run->output();
        return run;
    }

    // Stops a run with SIGTERM; its wind-down takes every rule it added away.
    void stopQuellbox(QuellboxRun& run) {
        ASSERT_TRUE(run.signal(SIGTERM));
        EXPECT_EQ(run.wait(), 0) << run.output();
        EXPECT_NE(run.output().find("Stopped."), std::string::npos) << run.output();
    }

    std::string rules() {
        std::string listing;
        EXPECT_TRUE(run({kIp, "netns", "exec", pair_.sender(),
                         PacketBackend::toolPath("quellbox-ipfw"), "list"},
                        &listing));
        return listing;
    }

    double uploadRate() { return ipRateOf(pair_.sender(), pair_.senderLink(), 3000ms); }

    NamespacePair pair_;
    TestUser user_;
    testing::TempDir home_;
    std::string before_;
    int listener_ = -1;
};

#ifdef QUELLBOX_HAVE_NFQUEUE

TEST_F(ShapingOnTheRealPath, UploadIsHeldToTheCapAndSigtermRemovesEveryRule) {
    for (const int kib : {1024, 10240}) {
        SCOPED_TRACE(std::to_string(kib) + " KiB/s");
        auto quellbox = startQuellbox({"--rate", std::to_string(kib)});
        EXPECT_NE(rules().find("divert 6715 tcp from 192.0.2.10 6700 to any out via " +
                               pair_.senderLink()),
                  std::string::npos);
        Flow upload(pair_, kPeerAddress, Flow::Direction::Upload);
        ASSERT_TRUE(upload.start(listener_));
        std::this_thread::sleep_for(1500ms);  // past the connection's start
        const double rate = uploadRate();
        EXPECT_NEAR(rate / (kib * 1024.0), 1.0, 0.10) << rate / 1024.0 << " KiB/s";
        stopQuellbox(*quellbox);
        EXPECT_EQ(iptablesState(pair_.sender()), before_);
        EXPECT_TRUE(upload.healthy());
    }
}

// The window's path: the engine started as the window starts it, a child on a socket pair
// (here through ip netns and setpriv, as the test's user with the shaping rights), driven
// over the control protocol. Closing the connection winds it down.
TEST_F(ShapingOnTheRealPath, TheWindowsPathCapsTheUploadAndClosingRemovesEveryRule) {
    EXPECT_EQ(::chown(home_.path().c_str(), user_.uid(), user_.gid()), 0);
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);
    std::vector<std::string> arguments{"netns", "exec", pair_.sender()};
    for (const auto& word : user_.runAs(true)) {
        arguments.push_back(word);
    }
    arguments.insert(arguments.end(), {QUELLBOX_ENGINE_BINARY, "--backend", "nfqueue"});
    std::string error;
    auto window = control::EngineClient::start({kIp, arguments}, {}, error);
    ASSERT_TRUE(window) << error;
    EXPECT_EQ(window->hello().backendName, "nfqueue");
    ASSERT_EQ(window->addULService(std::make_shared<Service>("Server", kServicePort)), 0);
    ASSERT_EQ(window->setDATARate(1024.0F), 0);
    EXPECT_NE(
        rules().find("divert 6715 tcp from 192.0.2.10 6700 to any out via " + pair_.senderLink()),
        std::string::npos);
    Flow upload(pair_, kPeerAddress, Flow::Direction::Upload);
    ASSERT_TRUE(upload.start(listener_));
    std::this_thread::sleep_for(1500ms);  // past the connection's start
    const double rate = uploadRate();
    EXPECT_NEAR(rate / (1024 * 1024.0), 1.0, 0.10) << rate / 1024.0 << " KiB/s";
    window.reset();
    EXPECT_EQ(iptablesState(pair_.sender()), before_);
    EXPECT_TRUE(upload.healthy());
}

TEST_F(ShapingOnTheRealPath, AckPauseSlowsADownloadIntoTheServer) {
    auto quellbox = startQuellbox({"--rate", "-1", "--ack-pause", "20000"});
    Flow download(pair_, kPeerAddress, Flow::Direction::Download);
    ASSERT_TRUE(download.start(listener_));
    std::this_thread::sleep_for(1000ms);
    const double paused = receiveRateOf(download, 2000ms);
    // Stopping Quellbox lets the acknowledgements go at once: the same connection speeds up.
    stopQuellbox(*quellbox);
    std::this_thread::sleep_for(500ms);
    const double free = receiveRateOf(download, 2000ms);
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
    const std::vector<Case> cases = {{"alice=5\nbob=5\n", 0.45, 0.55},
                                     {"alice=10\nbob=0\n", 0.55, 0.999}};
    ASSERT_TRUE(pair_.addPeerAddress(kSecondClient));
    // The server's Downloads log names the two clients; their logins' default priorities lie
    // beside it.
    const auto log = home_.path() / "server" / "Downloads";
    std::filesystem::create_directories(log.parent_path());
    std::ofstream(log, std::ios::binary)
        << "2024/05/01 10:00:00\t" << kPeerAddress << "\talice\tAlice\t/Files/a.zip\r"
        << "2024/05/01 10:00:01\t" << kSecondClient << "\tbob\tBob\t/Files/b.zip\r";
    writeSettings("<key>logPath</key><string>" + log.string() +
                  "</string>\n<key>useServerLogFile</key><true/>\n");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.priorities);
        std::ofstream(log.parent_path() / "Quellbox Default Priorities.txt") << test.priorities;
        auto quellbox = startQuellbox({"--rate", "1024", "--priority-mode"});
        Flow alice(pair_, kPeerAddress, Flow::Direction::Upload);
        Flow bob(pair_, kSecondClient, Flow::Direction::Upload);
        ASSERT_TRUE(alice.start(listener_));
        ASSERT_TRUE(bob.start(listener_));
        std::this_thread::sleep_for(2000ms);
        const auto aliceBefore = alice.received();
        const auto bobBefore = bob.received();
        auto bobLast = bobBefore;
        auto bobMoved = std::chrono::steady_clock::now();
        auto longestStill = std::chrono::steady_clock::duration::zero();
        for (int sample = 0; sample < 32; ++sample) {
            std::this_thread::sleep_for(250ms);
            const auto now = std::chrono::steady_clock::now();
            if (bob.received() != bobLast) {
                bobLast = bob.received();
                bobMoved = now;
            }
            longestStill = std::max(longestStill, now - bobMoved);
        }
        const double aliceBytes = static_cast<double>(alice.received() - aliceBefore);
        const double bobBytes = static_cast<double>(bob.received() - bobBefore);
        stopQuellbox(*quellbox);
        const double aliceShare = aliceBytes / (aliceBytes + bobBytes);
        std::printf("%s: alice %.1f%%, bob %.1f%%, bob longest still %.2f s\n",
                    test.priorities[6] == '5' ? "equal priorities" : "priorities 10 and 0",
                    100.0 * aliceShare, 100.0 * (1.0 - aliceShare),
                    std::chrono::duration<double>(longestStill).count());
        EXPECT_GE(aliceShare, test.aliceLeast) << aliceBytes << " / " << bobBytes;
        EXPECT_LE(aliceShare, test.aliceMost) << aliceBytes << " / " << bobBytes;
        EXPECT_LT(longestStill, 2s);
        // Together they stay near the cap (loosely: each client's share is what is tested).
        EXPECT_LT((aliceBytes + bobBytes) / 8.0, 1.2 * 1024 * 1024);
        EXPECT_EQ(iptablesState(pair_.sender()), before_);
    }
}

TEST_F(ShapingOnTheRealPath, AfterKillNineTrafficFlowsAndTheNextRunCapsAgain) {
    auto first = startQuellbox({"--rate", "1024"});
    Flow upload(pair_, kPeerAddress, Flow::Direction::Upload);
    ASSERT_TRUE(upload.start(listener_));
    std::this_thread::sleep_for(1000ms);
    ASSERT_TRUE(first->signal(SIGKILL));
    EXPECT_EQ(first->wait(), -SIGKILL);
    // The rules stay, nobody reads the queue: the kernel lets the packets pass unshaped.
    EXPECT_NE(rules().find("divert 6715"), std::string::npos);
    std::this_thread::sleep_for(500ms);
    const double unshaped = uploadRate();
    EXPECT_GT(unshaped, 3.0 * 1024 * 1024) << unshaped / 1024 << " KiB/s";
    EXPECT_TRUE(upload.healthy());

    // The next run puts its rules below the stale ones and caps the same port.
    auto second = startQuellbox({"--rate", "1024"});
    std::this_thread::sleep_for(1500ms);
    const double capped = uploadRate();
    EXPECT_NEAR(capped / (1024.0 * 1024.0), 1.0, 0.10) << capped / 1024 << " KiB/s";
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
