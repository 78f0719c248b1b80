#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "firewall/FirewallPrograms.h"

namespace quellbox {

// The rule manager: adds and removes the two divert rules per capped TCP port, choosing
// their numbers just below the lowest rule that was in the firewall when the manager was
// made, and finds the network interface of the default route and this machine's IPv4
// address on it. It learns and changes everything by running the programs of its
// FirewallPrograms and parsing what they print.
//
// Threads: the constructor, applyRule and derule are called from one thread (the main
// thread), one at a time. interface() and ipAdr() may be called from any thread: the
// lazy search runs under a lock, one search at a time, and the results are copies.
//
// Tests of the engine can subclass it with the protected constructor, which runs no
// program, and override the four virtual operations.
class IpfwRule {
public:
    // The port the divert rules send packets to; the engine binds its DivertSocket to it.
    static constexpr int kDivertPort = 6715;
    // Sizes of the argument list and of the runner's result areas.
    static constexpr std::size_t kArgumentSlots = 32;
    static constexpr std::size_t kCaptureAreaSize = 16384;
    static constexpr std::size_t kRuleResultSize = 256;
    static constexpr std::size_t kListResultSize = 16384;
    static constexpr std::size_t kDiscoveryAreaSize = 4096;
    // What execThisCommand answers when the program could not be run or failed.
    static constexpr const char* kFailure = "FAILURE";

    // Lists the firewall's rules once to find the lowest rule number. When the
    // listing cannot be run this ends the process with exit status 1 after
    // "Quellbox Error : execThisCommand failed !".
    explicit IpfwRule(FirewallPrograms programs);
    virtual ~IpfwRule() = default;
    IpfwRule(const IpfwRule&) = delete;
    IpfwRule& operator=(const IpfwRule&) = delete;

    // The command runner. `arguments` holds at most kArgumentSlots texts, ended by a null
    // pointer or an empty text; arguments[0] is the program's absolute path. Answers
    // `andReturn` holding the program's output (at most capacity - 1 bytes of it and a
    // NUL; at most 16383 bytes in any case), or kFailure when the program could not be run,
    // was ended by a signal or exited with a non-zero status (its output is then dropped).
    // It never writes more than `capacity` bytes into `andReturn`.
    static const char* execThisCommand(const char* const* arguments, char* andReturn,
                                       std::size_t capacity);

    // Lists the rules and takes the number that starts the first line: 0 when
    // that line does not start with a digit. Stores it as lowestIpfwRuleNumber.
    int computeLowestIpfwRuleNumber();

    // Adds the server rule and the client rule for the port. 0 when both are in place and
    // recorded; -1 otherwise (also when the programs' guard refuses a rule), with the reason
    // in the system log.
    virtual int applyRule(int port);
    // Deletes the port's two rules and frees their numbers. 0 on success; -1 when
    // the port has no rules or a deletion is refused (the entry then stays).
    virtual int derule(int port);

    // The interface of the default route, found on first use; empty while there is none
    // (each call then searches again, posting "noNetworkNotification").
    virtual std::string interface();
    // This machine's IPv4 address on interface(), dotted decimal; found on first use.
    virtual std::string ipAdr();
    void setInterface(const std::string& name);
    void setIpAdr(const std::string& address);

    // One search each, without the cache: the default route's interface (empty when there
    // is no network), and the first IPv4 address of an interface (empty when none).
    std::string getInterface();
    std::string getIpAdr(const std::string& interfaceName);

    // State, for the engine's diagnostics and for tests.
    int lowestIpfwRuleNumber() const { return lowestIpfwRuleNumber_; }
    // Freed pairs, pushed client number first, then server number.
    const std::vector<int>& deletedRules() const { return deletedRules_; }
    // The (client, server) rule numbers recorded for a port.
    std::optional<std::pair<int, int>> rulesForPort(int port) const;
    const FirewallPrograms& programs() const { return programs_; }

protected:
    // For subclasses that replace the firewall work (test doubles): runs no program, knows
    // no program, and starts with lowestIpfwRuleNumber 65535.
    IpfwRule();

private:
    // Runs `arguments` (the first empty text ends the list) into `area`, as an ordinary
    // child. Answers whether the program succeeded.
    bool run(const std::vector<std::string>& arguments, char* area, std::size_t capacity);
    // The same for the firewall program with `words` after its path, once the programs'
    // guard has let them pass (a refusal is logged and nothing is run).
    bool runFirewall(const std::vector<std::string>& words, char* area, std::size_t capacity);
    [[noreturn]] static void failFatally();
    std::optional<std::pair<int, int>> takeRulePair();
    std::string searchInterface();
    std::string searchIpAdr(const std::string& interfaceName);
    std::string cachedInterface();

    FirewallPrograms programs_;
    std::map<int, std::pair<int, int>> ruleDict_;  // port -> (client, server)
    std::vector<int> deletedRules_;
    int lowestIpfwRuleNumber_ = 65535;

    // Guards the cached names and the search areas: one search at a time.
    mutable std::mutex discoveryMutex_;
    std::string interface_;
    std::string ipAdr_;
    char interfaceArea_[kDiscoveryAreaSize] = {};
    char listingArea_[kDiscoveryAreaSize] = {};
    char addressArea_[kDiscoveryAreaSize] = {};
};

}  // namespace quellbox
