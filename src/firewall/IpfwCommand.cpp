#include "firewall/IpfwCommand.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <charconv>
#include <cstdio>
#include <sstream>

namespace quellbox {

namespace {

std::optional<int> numberIn(const std::string& text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

bool isIpv4Address(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool isInterfaceName(const std::string& text) {
    if (text.empty() || text.size() >= IFNAMSIZ) {
        return false;
    }
    for (const char c : text) {
        if (c <= ' ' || c == '/' || c == 0x7f) {
            return false;
        }
    }
    return true;
}

bool fail(std::string* error, const std::string& reason) {
    if (error != nullptr) {
        *error = reason;
    }
    return false;
}

bool parseAdd(const std::vector<std::string>& a, IpfwCommand& command, std::string* error) {
    const std::size_t n = a.size();
    const bool server =
        n == 13 && a[8] == "to" && a[9] == "any" && a[10] == "out" && a[11] == "via";
    const bool client = n == 12 && a[7] == "to" && a[8] == "any" && a[10] == "via";
    if (!server && !client) {
        return fail(error,
                    "expected 'add N divert D tcp from A P to any out via I' or "
                    "'add N divert D tcp from A to any P via I'");
    }
    if (a[2] != "divert" || a[4] != "tcp" || a[5] != "from") {
        return fail(error, "only 'divert D tcp from ...' rules are supported");
    }
    const auto rule = numberIn(a[1], 1, IpfwCommand::kDefaultRule - 1);
    const auto divert = numberIn(a[3], 1, 65535);
    const auto port = numberIn(server ? a[7] : a[9], 1, 65535);
    if (!rule) {
        return fail(error, "bad rule number '" + a[1] + "' (1 to 65534)");
    }
    if (!divert) {
        return fail(error, "bad divert port '" + a[3] + "'");
    }
    if (!isIpv4Address(a[6])) {
        return fail(error, "bad IPv4 address '" + a[6] + "'");
    }
    if (!port) {
        return fail(error, "bad port '" + (server ? a[7] : a[9]) + "'");
    }
    if (!isInterfaceName(a[n - 1])) {
        return fail(error, "bad interface name '" + a[n - 1] + "'");
    }
    command.verb = server ? IpfwCommand::Verb::AddServer : IpfwCommand::Verb::AddClient;
    command.rule = *rule;
    command.divertPort = *divert;
    command.address = a[6];
    command.port = *port;
    command.interfaceName = a[n - 1];
    return true;
}

}  // namespace

std::optional<IpfwCommand> IpfwCommand::parse(const std::vector<std::string>& arguments,
                                              std::string* error) {
    IpfwCommand command;
    if (arguments.empty()) {
        fail(error, "missing command (list, add or delete)");
        return std::nullopt;
    }
    const std::string& verb = arguments[0];
    if (verb == "list" && arguments.size() == 1) {
        command.verb = Verb::List;
        return command;
    }
    if (verb == "delete" && arguments.size() == 2) {
        const auto rule = numberIn(arguments[1], 1, kDefaultRule - 1);
        if (!rule) {
            fail(error, "bad rule number '" + arguments[1] + "' (1 to 65534)");
            return std::nullopt;
        }
        command.verb = Verb::Delete;
        command.rule = *rule;
        return command;
    }
    if (verb == "add") {
        if (!parseAdd(arguments, command, error)) {
            return std::nullopt;
        }
        return command;
    }
    fail(error, "unknown or malformed command '" + verb + "'");
    return std::nullopt;
}

std::string IpfwCommand::listingLine() const {
    char number[8];
    std::snprintf(number, sizeof number, "%05d", rule);
    std::string line = std::string(number) + " divert " + std::to_string(divertPort) +
                       " tcp from " + address + " ";
    if (verb == Verb::AddServer) {
        line += std::to_string(port) + " to any out via " + interfaceName;
    } else {
        line += "to any " + std::to_string(port) + " via " + interfaceName;
    }
    return line;
}

std::optional<IpfwCommand> IpfwCommand::parseListingLine(const std::string& line,
                                                         std::string* error) {
    std::vector<std::string> words{"add"};
    std::istringstream stream(line);
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return parse(words, error);
}

std::string IpfwCommand::defaultRuleLine() { return "65535 allow ip from any to any"; }

}  // namespace quellbox
