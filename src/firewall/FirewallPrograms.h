#pragma once

#include <string>

namespace quellbox {

// The absolute paths of the three programs the rule manager runs. Each packet backend
// supplies its own set (see PacketBackend): the real ipfw/netstat/ifconfig where divert
// sockets exist, the iptables-based tools on Linux, the simulator's tools in the sim.
struct FirewallPrograms {
    // Understands "list", "add N divert P tcp from A S to any out via I",
    // "add N divert P tcp from A to any D via I" and "delete N", as ipfw does.
    std::string firewall;
    // Prints the IPv4 routing table in the BSD "netstat -rn" form.
    std::string routeTable;
    // Lists the interfaces in ifconfig's form; with an interface name, that one only.
    std::string interfaceList;
};

}  // namespace quellbox
