#pragma once

#include <optional>
#include <string>
#include <vector>

#include "firewall/IpfwCommand.h"

namespace quellbox {

// The ipfw commands of the rule manager carried out with iptables (filter table), for
// quellbox-ipfw. Every rule lives in the chain QUELLBOX, which a rule at the top of OUTPUT
// jumps to while the chain holds rules. Each rule carries its ipfw number in a comment
// ("quellbox-00100"), the chain keeps them in ascending number order, and they send the
// matching packets to NFQUEUE with the divert port as queue number and --queue-bypass (no
// reader: the packets pass). Rules without such a comment are not ours and never touched.
class IptablesFirewall {
public:
    static constexpr const char* kChain = "QUELLBOX";
    static constexpr const char* kCommentPrefix = "quellbox-";

    // `iptables`: the program's absolute path.
    explicit IptablesFirewall(std::string iptables);

    // The program: $QUELLBOX_IPTABLES in a process without rights (Capabilities::
    // isPrivileged), else /usr/sbin/iptables, else /sbin/iptables. It runs with the shaping
    // rights and the bare environment of CommandRunner, so that nothing of the caller's
    // environment (XTABLES_LIBDIR) reaches it.
    static std::string defaultIptables();

    // Carries out one command; 0 on success, else a non-zero exit status with a message on
    // standard error. `list` prints the listing on standard output.
    int execute(const IpfwCommand& command);

    // Our rule in iptables words (after "-A QUELLBOX"), and back.
    static std::vector<std::string> ruleMatchArguments(const IpfwCommand& rule);
    static std::optional<IpfwCommand> ruleFromMatchArguments(const std::vector<std::string>& words);

private:
    struct ChainRule {
        std::vector<std::string> words;  // after "-A QUELLBOX"
        std::optional<IpfwCommand> ours;
    };
    struct Table {
        bool chainExists = false;
        bool hooked = false;
        std::vector<ChainRule> rules;
    };

    std::optional<Table> readTable();
    bool iptables(std::vector<std::string> arguments);
    int list();
    int add(const IpfwCommand& rule);
    int remove(int number);

    std::string iptables_;
};

}  // namespace quellbox
