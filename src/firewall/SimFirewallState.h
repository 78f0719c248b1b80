#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "firewall/IpfwCommand.h"

namespace quellbox {

// The simulated firewall's state, shared between the in-process SimKernel and the
// simulator's tool programs (quellbox-sim-ipfw, -netstat, -ifconfig) through a text file:
//
//   # quellbox simulated firewall
//   rule 65534 divert 6715 tcp from 192.0.2.1 80 to any out via sim0
//   rule 65533 divert 6715 tcp from 192.0.2.1 to any 80 via sim0
//   refuse add 65533        (the firewall tool refuses "add 65533"; without a number, every add)
//   refuse netstat          (any tool name or firewall verb: list, add, delete, netstat, ifconfig)
//   offline                 (the routing table has no default route)
//
// The file's path comes from QUELLBOX_SIM_STATE; without it, $XDG_RUNTIME_DIR/quellbox-sim.state,
// else /tmp/quellbox-sim-<uid>.state. Changes go through update(), which holds an flock on
// "<path>.lock" around read-modify-write and replaces the file atomically, so readers never
// see a torn file.
class SimFirewallState {
public:
    // Rules in ascending number order (rules with equal numbers in the order added).
    std::vector<IpfwCommand> rules;
    struct Refusal {
        std::string what;  // a firewall verb or a tool name
        int rule = 0;      // 0: any rule
    };
    std::vector<Refusal> refusals;
    bool offline = false;

    static std::filesystem::path defaultPath();

    // The state in a file; an empty state when the file does not exist; nothing when it
    // cannot be read or holds a line it does not understand.
    static std::optional<SimFirewallState> load(const std::filesystem::path& path);
    // Applies `change` to the file's state under the file lock and writes the result when
    // `change` answers true. False when the file cannot be locked, read or written.
    static bool update(const std::filesystem::path& path,
                       const std::function<bool(SimFirewallState&)>& change);

    static std::optional<SimFirewallState> fromText(const std::string& text, std::string* error);
    std::string toText() const;

    // Inserts after every rule with the same or a lower number.
    void addRule(const IpfwCommand& rule);
    // Removes every rule with this number; answers how many.
    int deleteRule(int number);
    // Whether the tool or verb `what` is told to refuse (for rule `rule`, 0 when none).
    bool refuses(const std::string& what, int rule = 0) const;
    // The ipfw "list" output: one line per rule, then the default rule 65535.
    std::string listing() const;
};

}  // namespace quellbox
