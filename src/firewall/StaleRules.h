#pragma once

#include <string>
#include <vector>

#include "firewall/FirewallPrograms.h"

namespace quellbox {

// The divert rules that an earlier run left in the firewall. A run that ends normally removes
// its rules in the wind-down; one that is killed outright cannot, and its rules stay: the
// kernel queue's bypass lets their traffic pass unshaped, and the next run's rules go below
// them and work, but they stay until removed. `quellbox --cleanup` removes them.
class StaleRules {
public:
    // The numbers of the rules in a firewall listing that divert to `divertPort`, in listing
    // order; lines of other rules (and unreadable ones) are passed over.
    static std::vector<int> find(const std::string& listing, int divertPort);
    // Lists the firewall and deletes every rule that diverts to `divertPort`, running the
    // firewall program as its FirewallPrograms say. Answers how many were removed, or -1 when the
    // listing or a deletion failed (every deletion is still tried); `report` names what was done.
    static int removeAll(const FirewallPrograms& programs, int divertPort, std::string& report);
};

}  // namespace quellbox
