#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quellbox::privileged {

inline constexpr const char* kIp = "/usr/sbin/ip";
inline constexpr const char* kSenderAddress = "192.0.2.10";
inline constexpr const char* kPeerAddress = "192.0.2.20";

// Runs a program (absolute path first) and answers whether it exited with status 0; its
// standard output goes into `output` when given.
bool run(const std::vector<std::string>& arguments, std::string* output = nullptr);
// Runs quellbox-ipfw with `words` inside the namespace `ns`, as run() does.
bool ipfwIn(const std::string& ns, const std::vector<std::string>& words,
            std::string* output = nullptr);

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
// Moves the calling thread into a named network namespace.
bool enterNamespace(const std::string& name);
// Runs `work` on a thread inside the namespace and waits for it.
void inNamespace(const std::string& name, const std::function<void()>& work);
#ifdef QUELLBOX_HAVE_NFQUEUE
// Why the kernel's packet queue cannot be opened in the namespace, or the empty text.
std::string nfqueueProblem(const std::string& name);
#endif
// Settings in `home` that cap the upload of `port` (what the desktop window saves), with
// further plist entries.
void writeSettings(const std::filesystem::path& home, int port,
                   const std::string& extraEntries = "");
// The filter table without comments and counters, for before/after comparisons.
std::string iptablesState(const std::string& name);

}  // namespace quellbox::privileged
