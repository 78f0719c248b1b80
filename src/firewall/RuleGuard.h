#pragma once

#include <string>
#include <vector>

#include "firewall/IpfwCommand.h"

namespace quellbox {

// Which firewall commands may run. The firewall program runs with the rights to divert any
// traffic of the machine, and whoever may shape traffic must not stall anyone else's service
// with it: so of the commands of IpfwCommand (whose ranges it checks first), an add passes
// only when its source is an IPv4 address of the machine, its interface exists and is named
// plainly (never iptables' wildcard '+'), and it diverts to the engine's queue
// (DivertSocket::kDivertPort). The rule manager checks every command before running the
// firewall program, and quellbox-ipfw checks again before touching iptables.
class RuleGuard {
public:
    // This machine, as it is at each check (getifaddrs, if_nametoindex): addresses come
    // and go with the network.
    RuleGuard();
    // A simulated machine with exactly these addresses and interfaces.
    static RuleGuard simulated(std::vector<std::string> addresses,
                               std::vector<std::string> interfaces);

    // Empty when the command (the firewall program's arguments) may run; else the reason,
    // one line.
    std::string refusal(const std::vector<std::string>& arguments) const;
    std::string refusal(const IpfwCommand& command) const;

private:
    bool isOwnAddress(const std::string& address, std::string& reason) const;
    bool interfaceExists(const std::string& name) const;

    bool simulated_ = false;
    std::vector<std::string> addresses_;   // simulated only
    std::vector<std::string> interfaces_;  // simulated only
};

}  // namespace quellbox
