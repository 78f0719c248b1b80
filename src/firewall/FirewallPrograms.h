#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "firewall/CommandRunner.h"
#include "firewall/RuleGuard.h"

namespace quellbox {

// The absolute paths of the three programs the rule manager runs, and how its firewall
// program is run. Each packet backend supplies its own set (see PacketBackend): the real
// ipfw/netstat/ifconfig where divert sockets exist, the iptables-based tools on Linux, the
// simulator's tools in the sim.
struct FirewallPrograms {
    // Understands "list", "add N divert P tcp from A S to any out via I",
    // "add N divert P tcp from A to any D via I" and "delete N", as ipfw does.
    std::string firewall;
    // Prints the IPv4 routing table in the BSD "netstat -rn" form.
    std::string routeTable;
    // Lists the interfaces in ifconfig's form; with an interface name, that one only.
    std::string interfaceList;
    // The commands the firewall may be given: this machine's rules by default, the
    // simulated machine's for the simulator.
    RuleGuard guard;
    // A real firewall runs with the shaping rights and a bare environment; the simulator's
    // runs as an ordinary child (it finds its state file through the environment).
    bool firewallNeedsRights = false;

    // Runs the firewall program with `arguments` (those after its path) when the guard lets
    // them pass. A refusal answers nothing and puts the reason into *refusal, which is empty
    // otherwise; nothing with an empty *refusal: the program could not be run.
    std::optional<CommandRunner::Outcome> runFirewall(const std::vector<std::string>& arguments,
                                                      std::size_t maxOutput,
                                                      std::string* refusal) const;
};

}  // namespace quellbox
