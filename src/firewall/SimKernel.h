#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "firewall/IpfwCommand.h"
#include "firewall/SimWire.h"

namespace quellbox {

class SimDivertSocket;

// The simulated kernel of the "sim" backend: a firewall rule table in ipfw's terms, divert
// sockets bound to divert ports, and the wire (SimWire) on which packets leave.
//
// inject() takes an outgoing IPv4 packet of the local machine (interface "sim0", address
// 192.0.2.1; remote hosts use other 192.0.2.x addresses). The lowest-numbered rule that
// matches decides:
//   server form  "divert D tcp from A P to any out via sim0": TCP from address A, port P;
//   client form  "divert D tcp from A to any P via sim0":     TCP from address A to port P;
// a matching packet goes to the SimDivertSocket bound to D, with a token. Packets that
// match no rule, or whose divert port has no bound socket, or whose socket queue is full
// (fail-open, counted) go straight to the wire.
//
// The rule table lives in the state file that the simulator's tools change
// (SimFirewallState). The kernel reloads it only when the file changed (new inode, size or
// mtime), checking at most once per ruleCheckInterval, so packets never cause file I/O in
// between; syncRules() checks at once.
//
// Threads: inject, and the sockets' calls, are safe from any thread. The application uses
// sharedInstance(); tests make their own kernels over their own state files.
class SimKernel {
public:
    static constexpr const char* kInterface = "sim0";
    static constexpr const char* kLocalAddress = "192.0.2.1";
    static constexpr const char* kGatewayAddress = "192.0.2.254";

    struct Options {
        std::filesystem::path statePath;
        // Packets a divert socket holds before fail-open lets further packets pass.
        std::size_t queueCapacity = 4096;
        std::chrono::nanoseconds ruleCheckInterval = std::chrono::milliseconds(2);
    };

    enum class Route {
        Diverted,    // queued to a divert socket
        Passed,      // no rule or no bound socket: sent on the wire
        FailedOpen,  // the socket's queue was full: sent on the wire
        Malformed,   // not an IPv4 packet of 20 to 65535 bytes: discarded
    };

    struct Counters {
        std::uint64_t injected = 0;
        std::uint64_t diverted = 0;
        std::uint64_t passed = 0;
        std::uint64_t failedOpen = 0;
        std::uint64_t malformed = 0;
        std::uint64_t writtenBack = 0;     // sent back through a divert socket
        std::uint64_t dropped = 0;         // released by DivertSocket::drop
        std::uint64_t flushedOnClose = 0;  // still queued when their socket closed (dropped)
        std::uint64_t passedOversize = 0;  // too large for the reader's buffer: let pass
    };

    explicit SimKernel(Options options);
    SimKernel(const SimKernel&) = delete;
    SimKernel& operator=(const SimKernel&) = delete;

    // The process's kernel over SimFirewallState::defaultPath(). It exports
    // QUELLBOX_SIM_STATE (when unset) so that the tools it runs use the same file.
    static SimKernel& sharedInstance();

    Route inject(const std::uint8_t* bytes, std::size_t length);
    SimWire& wire() { return wire_; }

    // Reloads the rule table now if the state file changed; false when it cannot be read
    // (the previous table then stays).
    bool syncRules();
    std::vector<IpfwCommand> rules() const;
    Counters counters() const;
    const std::filesystem::path& statePath() const { return options_.statePath; }
    std::size_t queueCapacity() const { return options_.queueCapacity; }

private:
    friend class SimDivertSocket;

    struct CompiledRule {
        std::uint32_t sourceAddress;  // network byte order
        std::uint16_t port;
        bool serverForm;
        int divertPort;
    };

    // Divert socket registration: 0, or -1 with EADDRINUSE when the port is taken. After
    // detach returns, inject never touches that socket again.
    int attach(int port, SimDivertSocket* socket);
    void detach(SimDivertSocket* socket);
    void countWrittenBack() { writtenBack_.fetch_add(1, std::memory_order_relaxed); }
    void countDropped() { dropped_.fetch_add(1, std::memory_order_relaxed); }
    void countFlushed(std::uint64_t packets) {
        flushedOnClose_.fetch_add(packets, std::memory_order_relaxed);
    }
    void countPassedOversize() { passedOversize_.fetch_add(1, std::memory_order_relaxed); }

    bool reloadIfChangedLocked();
    int matchLocked(const std::uint8_t* bytes, std::size_t length) const;

    const Options options_;
    SimWire wire_;

    mutable std::mutex mutex_;
    std::vector<IpfwCommand> rules_;
    std::vector<CompiledRule> compiled_;
    std::vector<std::pair<int, SimDivertSocket*>> sockets_;
    std::chrono::steady_clock::time_point lastCheck_{};
    bool haveFileIdentity_ = false;
    struct stat fileIdentity_ {};
    std::uint64_t nextPacketId_ = 1;
    Counters counters_;  // the fields below are kept apart: updated without mutex_

    std::atomic<std::uint64_t> writtenBack_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> flushedOnClose_{0};
    std::atomic<std::uint64_t> passedOversize_{0};
};

}  // namespace quellbox
