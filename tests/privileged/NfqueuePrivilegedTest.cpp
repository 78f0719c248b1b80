// Runs the nfqueue backend and quellbox-ipfw for real, inside two network namespaces joined
// by a veth pair (192.0.2.10 and 192.0.2.20). Needs root; skips with the reason where the
// namespaces or the kernel queue are not available.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"

namespace quellbox {
namespace {

using namespace privileged;

constexpr int kPort = 5001;

// Sends `data` from the sender namespace to the peer's port and answers what the peer read.
std::vector<char> transfer(const NamespacePair& pair, const std::vector<char>& data) {
    const int listener = listenIn(pair.peer(), kPeerAddress, kPort);
    const int sending = connectIn(pair.sender(), "", kPeerAddress, kPort);
    const int receiving = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    std::vector<char> received;
    if (sending < 0 || receiving < 0) {
        ADD_FAILURE() << "no connection: " << std::strerror(errno);
        return received;
    }
    std::thread sender([&] {
        for (std::size_t sent = 0; sent < data.size();) {
            const ssize_t n = ::send(sending, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(sending, SHUT_WR);
    });
    char chunk[65536];
    for (;;) {
        pollfd readable{receiving, POLLIN, 0};
        if (::poll(&readable, 1, 20000) != 1) {  // 20 s: a failure guard only
            ADD_FAILURE() << "transfer stalled after " << received.size() << " bytes";
            ::shutdown(sending, SHUT_RDWR);  // wakes a blocked send
            break;
        }
        const ssize_t n = ::read(receiving, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        received.insert(received.end(), chunk, chunk + n);
    }
    sender.join();
    ::close(sending);
    ::close(receiving);
    return received;
}

class PrivilegedFirewall : public ::testing::Test {
protected:
    void SetUp() override { QUELLBOX_SKIP_IF(pair_.createOrWhyNot()); }

    // The rule that diverts the traffic to kPort into the queue, applied in the sender; it
    // stays until the namespace goes (removing rules is the shaping tests' part).
    void divertInSender() {
        inNamespace(pair_.sender(),
                    [&] { EXPECT_EQ(IpfwRule(backend_->programs()).applyRule(kPort), 0); });
    }

    NamespacePair pair_;
    // There, as nfqueueProblem() tells, when the build has the nfqueue backend.
    const std::optional<PacketBackend> backend_ = PacketBackend::named("nfqueue");
};

// Rule discovery and the reader on the real queue; that packets pass while nobody reads it
// and the rates the engine keeps are the shaping tests' part.
TEST_F(PrivilegedFirewall, DivertedPacketsPassThroughTheReaderByteForByte) {
    QUELLBOX_SKIP_IF(nfqueueProblem(pair_.sender()));
    divertInSender();

    // A reader that writes every packet back at once.
    auto socket = backend_->makeDivertSocket();
    inNamespace(pair_.sender(), [&] {  // the queue is the namespace's, whichever thread reads
        ASSERT_EQ(socket->open(), 0) << std::strerror(errno);
        ASSERT_EQ(socket->bind(DivertSocket::kDivertPort), 0) << std::strerror(errno);
    });
    ASSERT_FALSE(HasFailure());
    std::atomic<long> bytes{0};  // every byte sent passes the reader
    std::atomic<long> failedSends{0};
    ssize_t lastResult = 0;
    std::thread reader([&] {
        std::vector<std::uint8_t> buffer(DivertSocket::kMaxPacketSize);
        for (;;) {
            sockaddr_in token{};
            socklen_t tokenLength = 0;
            lastResult = socket->receive(buffer.data(), buffer.size(), &token, &tokenLength);
            if (lastResult < 0) {
                return;
            }
            bytes += lastResult;
            if (socket->send(buffer.data(), static_cast<std::size_t>(lastResult), token,
                             tokenLength) != lastResult) {
                ++failedSends;
            }
        }
    });
    std::vector<char> large(4 * 1024 * 1024);
    std::mt19937 random(12345);
    std::generate(large.begin(), large.end(), [&] { return static_cast<char>(random()); });
    EXPECT_EQ(transfer(pair_, large), large);
    EXPECT_GT(bytes.load(), static_cast<long>(large.size()));
    EXPECT_EQ(failedSends.load(), 0);

    // Closing from another thread wakes the blocked reader.
    EXPECT_EQ(socket->close(), 0);
    reader.join();
    EXPECT_EQ(lastResult, -1);
}

// A restart while the diverted traffic flows (after a crash the kernel lets it pass at full
// speed): the kernel queues packets from the moment of the bind, while the queue is still being
// set up, and every bind must succeed all the same without losing a byte.
TEST_F(PrivilegedFirewall, BindingWhileTrafficFloodsTheQueueSucceeds) {
    QUELLBOX_SKIP_IF(nfqueueProblem(pair_.sender()));
    divertInSender();
    const std::vector<char> large(64 * 1024 * 1024, 'q');
    auto flood = std::async(std::launch::async, [&] { return transfer(pair_, large) == large; });
    int restarts = 0;
    inNamespace(pair_.sender(), [&] {
        // Bounded: each restart drops what the closed queue held, and the sender backs off.
        while (restarts < 1000 &&
               flood.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            auto socket = backend_->makeDivertSocket();
            ASSERT_EQ(socket->open(), 0) << std::strerror(errno);
            ASSERT_EQ(socket->bind(DivertSocket::kDivertPort), 0)
                << "restart " << restarts << ": " << std::strerror(errno);
            EXPECT_EQ(socket->close(), 0);
            ++restarts;
        }
    });
    EXPECT_GT(restarts, 0);
    EXPECT_TRUE(flood.get());
}

TEST_F(PrivilegedFirewall, QuellboxIpfwKeepsOrderAndLeavesOtherRulesAlone) {
    const std::string ns = pair_.sender();
    const std::string link = pair_.senderLink();
    // Someone else's rule, made before.
    ASSERT_TRUE(runIn(ns, "iptables -w -A OUTPUT -p udp --dport 9 -j DROP"));
    const std::string before = iptablesState(ns);

    std::string listing;
    ASSERT_TRUE(ipfwIn(ns, "list", &listing));
    EXPECT_EQ(listing, "65535 allow ip from any to any\n");
    for (const char* rule : {"300 divert 6715 tcp from 192.0.2.10 80 to any out via ",
                             "100 divert 6715 tcp from 192.0.2.10 to any 80 via ",
                             "200 divert 6715 tcp from 192.0.2.10 81 to any out via "}) {
        ASSERT_TRUE(ipfwIn(ns, "add " + (rule + link))) << rule;
    }
    ASSERT_TRUE(ipfwIn(ns, "list", &listing));
    EXPECT_EQ(listing, "00100 divert 6715 tcp from 192.0.2.10 to any 80 via " + link +
                           "\n00200 divert 6715 tcp from 192.0.2.10 81 to any out via " + link +
                           "\n00300 divert 6715 tcp from 192.0.2.10 80 to any out via " + link +
                           "\n65535 allow ip from any to any\n");
    // The chain itself is in number order, and OUTPUT jumps to it first.
    std::string chain;
    ASSERT_TRUE(runIn(ns, "iptables -w -S QUELLBOX", &chain));
    EXPECT_LT(chain.find("quellbox-00100"), chain.find("quellbox-00200")) << chain;
    EXPECT_LT(chain.find("quellbox-00200"), chain.find("quellbox-00300")) << chain;
    EXPECT_NE(chain.find("--queue-num 6715 --queue-bypass"), std::string::npos) << chain;
    std::string output;
    ASSERT_TRUE(runIn(ns, "iptables -w -S OUTPUT", &output));
    EXPECT_LT(output.find("-A OUTPUT -j QUELLBOX"), output.find("--dport 9")) << output;

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ipfwIn(ns, "delete 999"));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("rule 999: no such rule"),
              std::string::npos);
    EXPECT_TRUE(ipfwIn(ns, "delete 200"));
    EXPECT_TRUE(ipfwIn(ns, "delete 100"));
    EXPECT_NE(iptablesState(ns), before);
    EXPECT_TRUE(ipfwIn(ns, "delete 300"));
    EXPECT_EQ(iptablesState(ns), before);
}

}  // namespace
}  // namespace quellbox
