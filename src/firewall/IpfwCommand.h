#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quellbox {

// One firewall command in ipfw's words, as the rule manager writes them. The firewall
// tools (the iptables one and the simulator's) parse their arguments with it, and the
// simulator keeps its rules in this form.
//
//   list
//   add N divert D tcp from A P to any out via I     (server form: source address A, port P)
//   add N divert D tcp from A to any P via I         (client form: source A, destination port P)
//   delete N
//
// N is a rule number 1..65534 (65535 is the default rule), D a divert port, P a TCP port
// (1..65535), A a dotted IPv4 address, I an interface name.
struct IpfwCommand {
    enum class Verb { List, AddServer, AddClient, Delete };

    static constexpr int kDefaultRule = 65535;

    Verb verb = Verb::List;
    int rule = 0;
    int divertPort = 0;
    std::string address;
    int port = 0;
    std::string interfaceName;

    // The command of an argument list (without the program name); nothing with the reason
    // in *error when it is malformed.
    static std::optional<IpfwCommand> parse(const std::vector<std::string>& arguments,
                                            std::string* error);
    // A rule as "list" shows it: "N divert D tcp from A P to any out via I" (or the client
    // form), N in five digits.
    std::string listingLine() const;
    // A listing line (or the words of one) read back into an add command.
    static std::optional<IpfwCommand> parseListingLine(const std::string& line, std::string* error);
    // The default rule's listing line: "65535 allow ip from any to any".
    static std::string defaultRuleLine();

    bool isAdd() const { return verb == Verb::AddServer || verb == Verb::AddClient; }
};

}  // namespace quellbox
