#include "firewall/SimFirewallState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// Holds an exclusive flock on "<state>.lock" while it lives.
class StateLock {
public:
    explicit StateLock(const std::filesystem::path& statePath) {
        const std::string lockPath = statePath.string() + ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            SystemLog::reportError("Quellbox Error : open(" + lockPath + ")");
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                SystemLog::reportError("Quellbox Error : flock()");
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~StateLock() {
        if (fd_ >= 0) {
            ::close(fd_);  // releases the lock
        }
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace

std::filesystem::path SimFirewallState::defaultPath() {
    if (const char* explicitPath = std::getenv("QUELLBOX_SIM_STATE");
        explicitPath != nullptr && *explicitPath) {
        return explicitPath;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::filesystem::path(runtime) / "quellbox-sim.state";
    }
    return "/tmp/quellbox-sim-" + std::to_string(getuid()) + ".state";
}

std::optional<SimFirewallState> SimFirewallState::load(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return SimFirewallState{};
    }
    const auto text = AtomicFile::read(path);
    if (!text) {
        return std::nullopt;
    }
    std::string reason;
    auto state = fromText(*text, &reason);
    if (!state) {
        SystemLog::log("Quellbox Error : bad simulator state file " + path.string() + ": " +
                       reason);
    }
    return state;
}

bool SimFirewallState::update(const std::filesystem::path& path,
                              const std::function<bool(SimFirewallState&)>& change) {
    StateLock lock(path);
    if (!lock.held()) {
        return false;
    }
    auto state = load(path);
    if (!state) {
        return false;
    }
    if (!change(*state)) {
        return true;
    }
    return AtomicFile::write(path, state->toText());
}

std::optional<SimFirewallState> SimFirewallState::fromText(const std::string& text,
                                                           std::string* error) {
    SimFirewallState state;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword) || keyword[0] == '#') {
            continue;
        }
        if (keyword == "rule") {
            std::string rest;
            std::getline(words, rest);
            auto rule = IpfwCommand::parseListingLine(rest, error);
            if (!rule) {
                return std::nullopt;
            }
            state.addRule(*rule);
        } else if (keyword == "refuse") {
            Refusal refusal;
            if (!(words >> refusal.what)) {
                if (error != nullptr) {
                    *error = "refuse without a command";
                }
                return std::nullopt;
            }
            words >> refusal.rule;
            state.refusals.push_back(refusal);
        } else if (keyword == "offline") {
            state.offline = true;
        } else {
            if (error != nullptr) {
                *error = "unknown line '" + line + "'";
            }
            return std::nullopt;
        }
    }
    return state;
}

std::string SimFirewallState::toText() const {
    std::string text = "# quellbox simulated firewall\n";
    for (const auto& rule : rules) {
        text += "rule " + rule.listingLine() + "\n";
    }
    for (const auto& refusal : refusals) {
        text += "refuse " + refusal.what +
                (refusal.rule != 0 ? " " + std::to_string(refusal.rule) : "") + "\n";
    }
    if (offline) {
        text += "offline\n";
    }
    return text;
}

void SimFirewallState::addRule(const IpfwCommand& rule) {
    const auto after = std::upper_bound(
        rules.begin(), rules.end(), rule.rule,
        [](int number, const IpfwCommand& existing) { return number < existing.rule; });
    rules.insert(after, rule);
}

int SimFirewallState::deleteRule(int number) {
    const auto removed =
        std::erase_if(rules, [number](const IpfwCommand& rule) { return rule.rule == number; });
    return static_cast<int>(removed);
}

bool SimFirewallState::refuses(const std::string& what, int rule) const {
    return std::any_of(refusals.begin(), refusals.end(), [&](const Refusal& refusal) {
        return refusal.what == what && (refusal.rule == 0 || refusal.rule == rule);
    });
}

std::string SimFirewallState::listing() const {
    std::string text;
    for (const auto& rule : rules) {
        text += rule.listingLine() + "\n";
    }
    return text + IpfwCommand::defaultRuleLine() + "\n";
}

}  // namespace quellbox
