#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quellbox::privileged {

inline constexpr const char* kIp = "/usr/sbin/ip";
inline constexpr const char* kSenderAddress = "192.0.2.10";
inline constexpr const char* kPeerAddress = "192.0.2.20";
// The service the settings writeSettings writes cap, and the rule the engine makes for it.
inline constexpr int kServicePort = 6700;
inline constexpr const char* kServiceRule = "divert 6715 tcp from 192.0.2.10 6700 to any out via ";

// Skips the test with the reason a ...OrWhyNot() or ...Problem() check gives, if any.
#define QUELLBOX_SKIP_IF(reason) \
    if (const std::string why = (reason); !why.empty()) GTEST_SKIP() << why

// Runs a program (absolute path first) and answers whether it exited with status 0; its
// standard output goes into `output` when given.
bool run(const std::vector<std::string>& arguments, std::string* output = nullptr);
// Runs `program` (a path that may hold spaces; when empty, the first word of `line`) with the
// words of `line` (split at spaces) inside the namespace `ns`, as run() does; ipfwIn runs
// quellbox-ipfw so.
bool runIn(const std::string& ns, const std::string& line, std::string* output = nullptr,
           const std::string& program = "");
bool ipfwIn(const std::string& ns, const std::string& words, std::string* output = nullptr);

// Two network namespaces joined by a veth pair: the sender (kSenderAddress, its default
// route through the peer) and the peer (kPeerAddress). Removed again whatever happens.
class NamespacePair {
public:
    NamespacePair();
    ~NamespacePair();
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    // Why the pair cannot be made on this machine (not root, no iproute2, no namespaces), or
    // the empty text once it is made.
    std::string createOrWhyNot();
    // One more address on the peer's end of the link (a second client).
    bool addPeerAddress(const std::string& address);

    const std::string& sender() const { return sender_; }
    const std::string& peer() const { return peer_; }
    const std::string& senderLink() const { return senderLink_; }

private:
    std::string sender_;
    std::string peer_;
    std::string senderLink_;
    std::string peerLink_;
    std::vector<std::string> created_;
};

// A TCP socket made inside the namespace `ns`, listening on ip:port; -1 on failure.
int listenIn(const std::string& ns, const std::string& ip, int port);
// A TCP socket made inside the namespace `ns`, connected from `from` (any address when empty)
// to ip:port; -1 on failure.
int connectIn(const std::string& ns, const std::string& from, const std::string& ip, int port);
// Runs `work` on a thread inside the namespace and waits for it.
void inNamespace(const std::string& name, const std::function<void()>& work);
// Why the kernel's packet queue cannot be opened in the namespace (or this build has no
// nfqueue backend), or the empty text.
std::string nfqueueProblem(const std::string& name);
// Settings in `home` that cap the upload of kServicePort (what the desktop window saves), with
// further plist entries.
void writeSettings(const std::filesystem::path& home, const std::string& extraEntries = "");
// The filter table without comments and counters, for before/after comparisons.
std::string iptablesState(const std::string& name);

}  // namespace quellbox::privileged
