#include "NetNamespaces.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

#include "firewall/CommandRunner.h"
#ifdef QUELLBOX_HAVE_NFQUEUE
#include "firewall/NfqueueDivertSocket.h"
#endif

namespace quellbox::privileged {

bool run(const std::vector<std::string>& arguments, std::string* output) {
    const auto outcome = CommandRunner::run(arguments, 1 << 20);
    if (output != nullptr && outcome) {
        *output = outcome->output;
    }
    return outcome && outcome->exited && outcome->exitStatus == 0;
}

NamespacePair::NamespacePair()
    : sender_("qbx-" + std::to_string(getpid()) + "-a"),
      peer_("qbx-" + std::to_string(getpid()) + "-b"),
      senderLink_("qbxa" + std::to_string(getpid() % 100000)),
      peerLink_("qbxb" + std::to_string(getpid() % 100000)) {}

NamespacePair::~NamespacePair() {
    for (const auto& name : created_) {
        run({kIp, "netns", "del", name});
    }
}

std::string NamespacePair::createOrWhyNot() {
    if (::geteuid() != 0) {
        return "needs root to create network namespaces and iptables rules (CI runs as root)";
    }
    if (::access(kIp, X_OK) != 0) {
        return "iproute2's ip is not installed";
    }
    std::string why;
    if (!create(&why)) {
        return "cannot create network namespaces with a veth pair here: " + why;
    }
    return "";
}

#ifdef QUELLBOX_HAVE_NFQUEUE
std::string nfqueueProblem(const std::string& name) {
    std::string problem;
    inNamespace(name, [&] {
        NfqueueDivertSocket probe;
        if (probe.open() != 0 || probe.bind(DivertSocket::kDivertPort) != 0) {
            problem = "cannot open NFQUEUE " + std::to_string(DivertSocket::kDivertPort) + ": " +
                      std::strerror(errno);
        }
    });
    return problem;
}
#endif

bool NamespacePair::create(std::string* why) {
    for (const auto& name : {sender_, peer_}) {
        if (!run({kIp, "netns", "add", name})) {
            *why = "'ip netns add' failed";
            return false;
        }
        created_.push_back(name);
    }
    const std::vector<std::vector<std::string>> steps{
        {kIp, "-n", sender_, "link", "add", senderLink_, "type", "veth", "peer", "name", peerLink_,
         "netns", peer_},
        {kIp, "-n", sender_, "addr", "add", std::string(kSenderAddress) + "/24", "dev",
         senderLink_},
        {kIp, "-n", peer_, "addr", "add", std::string(kPeerAddress) + "/24", "dev", peerLink_},
        {kIp, "-n", sender_, "link", "set", senderLink_, "up"},
        {kIp, "-n", peer_, "link", "set", peerLink_, "up"},
        {kIp, "-n", sender_, "link", "set", "lo", "up"},
        {kIp, "-n", peer_, "link", "set", "lo", "up"},
        {kIp, "-n", sender_, "route", "add", "default", "via", kPeerAddress},
    };
    for (const auto& step : steps) {
        if (!run(step)) {
            *why = "'" + step[3] + " " + step[4] + "' in a namespace failed";
            return false;
        }
    }
    return true;
}

bool NamespacePair::addPeerAddress(const std::string& address) {
    return run({kIp, "-n", peer_, "addr", "add", address + "/24", "dev", peerLink_});
}

bool enterNamespace(const std::string& name) {
    const std::string path = "/run/netns/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

void inNamespace(const std::string& name, const std::function<void()>& work) {
    std::thread thread([&] {
        ASSERT_TRUE(enterNamespace(name)) << name;
        work();
    });
    thread.join();
}

std::string iptablesState(const std::string& name) {
    std::string output;
    EXPECT_TRUE(run({kIp, "netns", "exec", name, "iptables-save", "-t", "filter"}, &output));
    std::istringstream lines(output);
    std::string state;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            // Chain lines end in packet and byte counters, " [12:720]": drop them.
            const auto counters = line.rfind(" [");
            if (line[0] == ':' && counters != std::string::npos && line.back() == ']') {
                line.erase(counters);
            }
            state += line + "\n";
        }
    }
    return state;
}

}  // namespace quellbox::privileged
