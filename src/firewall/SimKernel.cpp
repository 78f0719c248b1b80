#include "firewall/SimKernel.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "firewall/SimDivertSocket.h"
#include "firewall/SimFirewallState.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

constexpr std::size_t kMinimumIpv4Header = 20;
constexpr std::size_t kMaximumIpv4Packet = 65535;
constexpr std::uint8_t kProtocolTcp = 6;

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

SimKernel::SimKernel(Options options) : options_(std::move(options)) {
    std::lock_guard guard(mutex_);
    reloadIfChangedLocked();
    lastCheck_ = std::chrono::steady_clock::now();
}

SimKernel& SimKernel::sharedInstance() {
    static SimKernel* kernel = [] {
        const std::filesystem::path path = SimFirewallState::defaultPath();
        if (setenv("QUELLBOX_SIM_STATE", path.c_str(), 0) != 0) {
            SystemLog::reportError("Quellbox Error : setenv(QUELLBOX_SIM_STATE)");
        }
        Options options;
        options.statePath = path;
        return new SimKernel(options);  // lives as long as the process
    }();
    return *kernel;
}

bool SimKernel::syncRules() {
    std::lock_guard guard(mutex_);
    lastCheck_ = std::chrono::steady_clock::now();
    return reloadIfChangedLocked();
}

bool SimKernel::reloadIfChangedLocked() {
    struct stat identity {};
    if (::stat(options_.statePath.c_str(), &identity) != 0) {
        if (errno != ENOENT) {
            return false;
        }
        // No file: no rules.
        haveFileIdentity_ = false;
        rules_.clear();
        compiled_.clear();
        return true;
    }
    if (haveFileIdentity_ && sameFile(identity, fileIdentity_)) {
        return true;
    }
    const auto state = SimFirewallState::load(options_.statePath);
    if (!state) {
        return false;
    }
    rules_ = state->rules;
    compiled_.clear();
    for (const auto& rule : rules_) {
        in_addr address{};
        if (rule.interfaceName != kInterface ||
            inet_pton(AF_INET, rule.address.c_str(), &address) != 1) {
            continue;  // names another interface: never matches here
        }
        compiled_.push_back({address.s_addr, static_cast<std::uint16_t>(rule.port),
                             rule.verb == IpfwCommand::Verb::AddServer, rule.divertPort});
    }
    fileIdentity_ = identity;
    haveFileIdentity_ = true;
    return true;
}

int SimKernel::matchLocked(const std::uint8_t* bytes, std::size_t length) const {
    const std::size_t headerLength = std::size_t{bytes[0] & 0x0fu} * 4;
    if (bytes[9] != kProtocolTcp || headerLength < kMinimumIpv4Header ||
        length < headerLength + 4) {
        return 0;
    }
    std::uint32_t source = 0;
    std::memcpy(&source, bytes + 12, sizeof source);
    const std::uint16_t sourcePort =
        static_cast<std::uint16_t>((bytes[headerLength] << 8) | bytes[headerLength + 1]);
    const std::uint16_t destinationPort =
        static_cast<std::uint16_t>((bytes[headerLength + 2] << 8) | bytes[headerLength + 3]);
    for (const auto& rule : compiled_) {
        if (rule.sourceAddress == source &&
            rule.port == (rule.serverForm ? sourcePort : destinationPort)) {
            return rule.divertPort;
        }
    }
    return 0;
}

SimKernel::Route SimKernel::inject(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length < kMinimumIpv4Header || length > kMaximumIpv4Packet ||
        (bytes[0] >> 4) != 4) {
        std::lock_guard guard(mutex_);
        ++counters_.injected;
        ++counters_.malformed;
        return Route::Malformed;
    }
    Route route = Route::Passed;
    {
        std::lock_guard guard(mutex_);
        ++counters_.injected;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCheck_ >= options_.ruleCheckInterval) {
            lastCheck_ = now;
            reloadIfChangedLocked();
        }
        if (const int divertPort = matchLocked(bytes, length); divertPort != 0) {
            const auto bound =
                std::find_if(sockets_.begin(), sockets_.end(),
                             [divertPort](const auto& entry) { return entry.first == divertPort; });
            if (bound != sockets_.end()) {
                if (bound->second->enqueue(bytes, length, nextPacketId_)) {
                    ++nextPacketId_;
                    ++counters_.diverted;
                    return Route::Diverted;
                }
                route = Route::FailedOpen;
            }
        }
        ++(route == Route::FailedOpen ? counters_.failedOpen : counters_.passed);
    }
    wire_.transmit(bytes, length);
    return route;
}

std::vector<IpfwCommand> SimKernel::rules() const {
    std::lock_guard guard(mutex_);
    return rules_;
}

SimKernel::Counters SimKernel::counters() const {
    Counters counters;
    {
        std::lock_guard guard(mutex_);
        counters = counters_;
    }
    counters.writtenBack = writtenBack_.load(std::memory_order_relaxed);
    counters.dropped = dropped_.load(std::memory_order_relaxed);
    counters.flushedOnClose = flushedOnClose_.load(std::memory_order_relaxed);
    counters.passedOversize = passedOversize_.load(std::memory_order_relaxed);
    return counters;
}

int SimKernel::attach(int port, SimDivertSocket* socket) {
    std::lock_guard guard(mutex_);
    if (std::any_of(sockets_.begin(), sockets_.end(),
                    [port](const auto& entry) { return entry.first == port; })) {
        errno = EADDRINUSE;
        return -1;
    }
    sockets_.emplace_back(port, socket);
    return 0;
}

void SimKernel::detach(SimDivertSocket* socket) {
    std::lock_guard guard(mutex_);
    std::erase_if(sockets_, [socket](const auto& entry) { return entry.second == socket; });
}

}  // namespace quellbox
