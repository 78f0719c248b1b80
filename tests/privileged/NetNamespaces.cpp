#include "NetNamespaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "firewall/CommandRunner.h"
#include "firewall/PacketBackend.h"
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

bool ipfwIn(const std::string& ns, const std::vector<std::string>& words, std::string* output) {
    std::vector<std::string> arguments{kIp, "netns", "exec", ns,
                                       PacketBackend::toolPath("quellbox-ipfw")};
    arguments.insert(arguments.end(), words.begin(), words.end());
    return run(arguments, output);
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

std::string NamespacePair::createOrWhyNot() {
    if (::geteuid() != 0) {
        return "needs root to create network namespaces and iptables rules (CI runs as root)";
    }
    if (::access(kIp, X_OK) != 0) {
        return "iproute2's ip is not installed";
    }
    const std::string cannot = "cannot create network namespaces with a veth pair here: ";
    for (const auto& name : {sender_, peer_}) {
        if (!run({kIp, "netns", "add", name})) {
            return cannot + "'ip netns add' failed";
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
            return cannot + "'" + step[3] + " " + step[4] + "' in a namespace failed";
        }
    }
    return "";
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

void writeSettings(const std::filesystem::path& home, int port, const std::string& extraEntries) {
    std::filesystem::create_directories(home / ".config" / "Quellbox");
    std::ofstream(home / ".config" / "Quellbox" / "Quellbox.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>servicesNameArray</key><array><string>File server</string></array>\n"
           "<key>servicesPortArray</key><array><integer>"
        << port
        << "</integer></array>\n"
           "<key>activatedULServices</key><array><true/></array>\n"
        << extraEntries << "</dict>\n</plist>\n";
}

namespace {

sockaddr_in socketAddress(const std::string& ip, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (!ip.empty()) {
        inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    }
    return address;
}

// A TCP socket made inside `ns`, given to `use`; closed and -1 when `use` fails.
int socketIn(const std::string& ns, const std::function<bool(int)>& use) {
    int fd = -1;
    inNamespace(ns, [&] {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && !use(fd)) {
            ::close(fd);
            fd = -1;
        }
    });
    return fd;
}

}  // namespace

int listenIn(const std::string& ns, const std::string& ip, int port) {
    return socketIn(ns, [&](int fd) {
        const int on = 1;
        const sockaddr_in address = socketAddress(ip, port);
        return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
               ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(fd, 4) == 0;
    });
}

int connectIn(const std::string& ns, const std::string& from, const std::string& ip, int port) {
    return socketIn(ns, [&](int fd) {
        const sockaddr_in local = socketAddress(from, 0);
        const sockaddr_in remote = socketAddress(ip, port);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
               ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
    });
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
