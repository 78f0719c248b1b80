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
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "firewall/CommandRunner.h"
#include "firewall/PacketBackend.h"

namespace quellbox::privileged {

bool run(const std::vector<std::string>& arguments, std::string* output) {
    const auto outcome = CommandRunner::run(arguments, 1 << 20);
    if (output != nullptr && outcome) {
        *output = outcome->output;
    }
    return outcome && outcome->exited && outcome->exitStatus == 0;
}

bool runIn(const std::string& ns, const std::string& line, std::string* output,
           const std::string& program) {
    std::vector<std::string> arguments{kIp, "netns", "exec", ns};
    if (!program.empty()) arguments.push_back(program);
    std::istringstream words(line);
    arguments.insert(arguments.end(), std::istream_iterator<std::string>(words), {});
    return run(arguments, output);
}

bool ipfwIn(const std::string& ns, const std::string& words, std::string* output) {
    return runIn(ns, words, output, PacketBackend::toolPath("quellbox-ipfw"));
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

std::string nfqueueProblem(const std::string& name) {
    std::string problem;
    if (const auto backend = PacketBackend::named("nfqueue", &problem)) {
        inNamespace(name, [&] {
            const auto probe = backend->makeDivertSocket();
            if (probe->open() != 0 || probe->bind(DivertSocket::kDivertPort) != 0) {
                problem = "cannot open NFQUEUE " + std::to_string(DivertSocket::kDivertPort) +
                          ": " + std::strerror(errno);
            }
        });
    }
    return problem;
}

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
    const std::pair<std::string, std::string> steps[] = {
        {sender_,
         "link add " + senderLink_ + " type veth peer name " + peerLink_ + " netns " + peer_},
        {sender_, "addr add " + std::string(kSenderAddress) + "/24 dev " + senderLink_},
        {peer_, "addr add " + std::string(kPeerAddress) + "/24 dev " + peerLink_},
        {sender_, "link set " + senderLink_ + " up"},
        {peer_, "link set " + peerLink_ + " up"},
        {sender_, "link set lo up"},
        {peer_, "link set lo up"},
        {sender_, "route add default via " + std::string(kPeerAddress)},
    };
    for (const auto& [ns, step] : steps) {
        if (!runIn(ns, step, nullptr, kIp)) {
            return cannot + "'ip " + step + "' in a namespace failed";
        }
    }
    return "";
}

bool NamespacePair::addPeerAddress(const std::string& address) {
    return runIn(peer_, "addr add " + address + "/24 dev " + peerLink_, nullptr, kIp);
}

void inNamespace(const std::string& name, const std::function<void()>& work) {
    std::thread thread([&] {
        const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) ::close(fd);
        ASSERT_TRUE(entered) << name;
        work();
    });
    thread.join();
}

void writeSettings(const std::filesystem::path& home, const std::string& extraEntries) {
    std::filesystem::create_directories(home / ".config" / "Quellbox");
    std::ofstream(home / ".config" / "Quellbox" / "Quellbox.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>servicesNameArray</key><array><string>File server</string></array>\n"
           "<key>servicesPortArray</key><array><integer>"
        << kServicePort
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
        const sockaddr_in address = socketAddress(ip, port);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
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
    EXPECT_TRUE(runIn(name, "iptables-save -t filter", &output));
    // Comment lines go, and the packet and byte counters chain lines end in, " [12:720]".
    static const std::regex noise(R"(^#.*\n|^(:.*) \[\d+:\d+\]$)",
                                  std::regex::ECMAScript | std::regex::multiline);
    return std::regex_replace(output, noise, "$1");
}

}  // namespace quellbox::privileged
