#include "firewall/RuleGuard.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "firewall/DivertSocket.h"

namespace quellbox {

namespace {

// Letters, digits, '-', '_' and '.': what interface names are made of in practice, and
// nothing that iptables reads as a pattern ('+') or a shell as a word break.
bool isPlainInterfaceName(const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

bool contains(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

}  // namespace

RuleGuard::RuleGuard() = default;

RuleGuard RuleGuard::simulated(std::vector<std::string> addresses,
                               std::vector<std::string> interfaces) {
    RuleGuard guard;
    guard.simulated_ = true;
    guard.addresses_ = std::move(addresses);
    guard.interfaces_ = std::move(interfaces);
    return guard;
}

std::string RuleGuard::refusal(const std::vector<std::string>& arguments) const {
    std::string error;
    const auto command = IpfwCommand::parse(arguments, &error);
    if (!command) {
        return error;
    }
    return refusal(*command);
}

std::string RuleGuard::refusal(const IpfwCommand& command) const {
    if (!command.isAdd()) {
        return "";  // list, and delete of a rule number in range
    }
    if (command.divertPort != DivertSocket::kDivertPort) {
        return "divert port " + std::to_string(command.divertPort) + " is not Quellbox's queue " +
               std::to_string(DivertSocket::kDivertPort);
    }
    if (!isPlainInterfaceName(command.interfaceName)) {
        return "'" + command.interfaceName +
               "' is not a plain interface name (letters, digits, '-', '_', '.')";
    }
    if (!interfaceExists(command.interfaceName)) {
        return "there is no interface '" + command.interfaceName + "'";
    }
    std::string reason;
    if (!isOwnAddress(command.address, reason)) {
        return reason;
    }
    return "";
}

bool RuleGuard::interfaceExists(const std::string& name) const {
    if (simulated_) {
        return contains(interfaces_, name);
    }
    return ::if_nametoindex(name.c_str()) != 0;
}

bool RuleGuard::isOwnAddress(const std::string& address, std::string& reason) const {
    reason = address + " is not an IPv4 address of this machine";
    if (simulated_) {
        return contains(addresses_, address);
    }
    in_addr wanted{};
    if (::inet_pton(AF_INET, address.c_str(), &wanted) != 1) {
        return false;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        reason = std::string("can't list this machine's addresses: ") + std::strerror(errno);
        return false;
    }
    bool found = false;
    for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            found = ipv4->sin_addr.s_addr == wanted.s_addr;
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace quellbox
