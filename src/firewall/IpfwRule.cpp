#include "firewall/IpfwRule.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "firewall/CommandRunner.h"
#include "firewall/DiscoveryParser.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// The leading decimal integer of a text; 0 when it starts with no digit.
int leadingNumber(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || value > 99999999) {
            break;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// What execThisCommand answers for a child's outcome (see there).
const char* collect(const std::optional<CommandRunner::Outcome>& outcome, char* andReturn,
                    std::size_t capacity) {
    if (!outcome) {
        return IpfwRule::kFailure;
    }
    if (!outcome->exited) {
        std::fputs("child did not exit normaly !\n", stderr);
        return IpfwRule::kFailure;
    }
    if (outcome->exitStatus != 0) {
        std::fprintf(stderr, "child returned an error (%d) !\n", outcome->exitStatus);
        return IpfwRule::kFailure;
    }
    if (capacity == 0) {
        return andReturn;
    }
    const std::size_t length = std::min(outcome->output.size(), capacity - 1);
    std::memcpy(andReturn, outcome->output.data(), length);
    andReturn[length] = '\0';
    return andReturn;
}

}  // namespace

IpfwRule::IpfwRule(FirewallPrograms programs) : programs_(std::move(programs)) {
    computeLowestIpfwRuleNumber();
}

IpfwRule::IpfwRule() = default;

const char* IpfwRule::execThisCommand(const char* const* arguments, char* andReturn,
                                      std::size_t capacity) {
    const char* slots[kArgumentSlots + 1] = {};
    for (std::size_t i = 0;
         i < kArgumentSlots && arguments[i] != nullptr && arguments[i][0] != '\0'; ++i) {
        slots[i] = arguments[i];
    }
    return collect(CommandRunner::run(slots, kCaptureAreaSize - 1), andReturn, capacity);
}

bool IpfwRule::run(const std::vector<std::string>& arguments, char* area, std::size_t capacity) {
    const char* slots[kArgumentSlots + 1] = {};
    for (std::size_t i = 0; i < kArgumentSlots && i < arguments.size() && !arguments[i].empty();
         ++i) {
        slots[i] = arguments[i].c_str();
    }
    return execThisCommand(slots, area, capacity) != kFailure;
}

bool IpfwRule::runFirewall(const std::vector<std::string>& words, char* area,
                           std::size_t capacity) {
    std::vector<std::string> slots;
    for (std::size_t i = 0; i + 1 < kArgumentSlots && i < words.size() && !words[i].empty(); ++i) {
        slots.push_back(words[i]);
    }
    std::string refusal;
    const auto outcome = programs_.runFirewall(slots, kCaptureAreaSize - 1, &refusal);
    if (!refusal.empty()) {
        std::string command;
        for (const auto& word : slots) {
            command += (command.empty() ? "" : " ") + word;
        }
        SystemLog::log("Quellbox refuses the firewall command '" + command + "': " + refusal);
        return false;
    }
    return collect(outcome, area, capacity) != kFailure;
}

void IpfwRule::failFatally() {
    SystemLog::reportError("Quellbox Error : execThisCommand failed !");
    std::exit(1);
}

int IpfwRule::computeLowestIpfwRuleNumber() {
    std::vector<char> area(kListResultSize);
    if (!runFirewall({"list"}, area.data(), area.size())) {
        failFatally();
    }
    std::string_view listing(area.data());
    const std::string_view firstLine = listing.substr(0, listing.find('\n'));
    const std::string_view firstPiece = firstLine.substr(0, firstLine.find(' '));
    lowestIpfwRuleNumber_ = leadingNumber(firstPiece);
    return lowestIpfwRuleNumber_;
}

std::optional<std::pair<int, int>> IpfwRule::takeRulePair() {
    const std::size_t count = deletedRules_.size();
    if (count > 1 && deletedRules_[count - 1] != 0 && deletedRules_[count - 2] != 0) {
        const int server = deletedRules_[count - 1];
        const int client = deletedRules_[count - 2];
        deletedRules_.resize(count - 2);
        return std::pair{client, server};
    }
    if (lowestIpfwRuleNumber_ > 2) {
        const int server = lowestIpfwRuleNumber_ - 1;
        const int client = lowestIpfwRuleNumber_ - 2;
        lowestIpfwRuleNumber_ = client;
        return std::pair{client, server};
    }
    SystemLog::log("MAJOR QUELLBOX ERROR : THERE IS NO AVAILABLE RULE LEFT !");
    return std::nullopt;
}

int IpfwRule::applyRule(int port) {
    const auto pair = takeRulePair();
    if (!pair) {
        return -1;
    }
    const auto [client, server] = *pair;
    const std::string portText = std::to_string(port);
    const std::string divertText = std::to_string(kDivertPort);
    char area[kRuleResultSize];

    const std::string serverAddress = ipAdr();
    const std::string serverInterface = interface();
    if (!runFirewall({"add", std::to_string(server), "divert", divertText, "tcp", "from",
                      serverAddress, portText, "to", "any", "out", "via", serverInterface},
                     area, sizeof area)) {
        SystemLog::log(
            "MAJOR QUELLBOX ERROR : CLIENT rule can't be applied !, you must remove client rule "
            "manually !!!");
        return -1;
    }
    const std::string clientAddress = ipAdr();
    const std::string clientInterface = interface();
    if (!runFirewall({"add", std::to_string(client), "divert", divertText, "tcp", "from",
                      clientAddress, "to", "any", portText, "via", clientInterface},
                     area, sizeof area)) {
        SystemLog::log(
            "MAJOR QUELLBOX ERROR : SERVER rule has been applied but CLIENT one FAILED !, you must "
            "remove client "
            "rule manually !!!");
        return -1;
    }
    ruleDict_[port] = {client, server};
    return 0;
}

int IpfwRule::derule(int port) {
    const auto entry = ruleDict_.find(port);
    if (entry == ruleDict_.end()) {
        SystemLog::logf("MAJOR QUELLBOX ERROR : there is no rule for port : %d, can't remove it !",
                        port);
        return -1;
    }
    const auto [client, server] = entry->second;
    char area[kRuleResultSize];
    if (!runFirewall({"delete", std::to_string(client)}, area, sizeof area)) {
        SystemLog::log(
            "MAJOR QUELLBOX ERROR : SERVER AND CLIENT rules can't be removed !, you must remove "
            "them rule manually !!!");
        return -1;
    }
    if (!runFirewall({"delete", std::to_string(server)}, area, sizeof area)) {
        SystemLog::log(
            "MAJOR QUELLBOX ERROR : CLIENT rule can't be removed but SERVER rule has been !!, you "
            "must remove the "
            "CLIENT rule manually !!!");
        return -1;
    }
    if (client == lowestIpfwRuleNumber_) {
        lowestIpfwRuleNumber_ += 2;
    } else {
        deletedRules_.push_back(client);
        deletedRules_.push_back(server);
    }
    ruleDict_.erase(entry);
    return 0;
}

std::optional<std::pair<int, int>> IpfwRule::rulesForPort(int port) const {
    const auto entry = ruleDict_.find(port);
    if (entry == ruleDict_.end()) {
        return std::nullopt;
    }
    return entry->second;
}

std::string IpfwRule::interface() {
    std::lock_guard guard(discoveryMutex_);
    return cachedInterface();
}

std::string IpfwRule::ipAdr() {
    std::lock_guard guard(discoveryMutex_);
    if (ipAdr_.empty()) {
        ipAdr_ = searchIpAdr(cachedInterface());
    }
    return ipAdr_;
}

void IpfwRule::setInterface(const std::string& name) {
    std::lock_guard guard(discoveryMutex_);
    interface_ = name;
}

void IpfwRule::setIpAdr(const std::string& address) {
    std::lock_guard guard(discoveryMutex_);
    ipAdr_ = address;
}

std::string IpfwRule::getInterface() {
    std::lock_guard guard(discoveryMutex_);
    return searchInterface();
}

std::string IpfwRule::getIpAdr(const std::string& interfaceName) {
    std::lock_guard guard(discoveryMutex_);
    return searchIpAdr(interfaceName);
}

std::string IpfwRule::cachedInterface() {
    if (interface_.empty()) {
        interface_ = searchInterface();
    }
    return interface_;
}

std::string IpfwRule::searchInterface() {
    if (!run({programs_.routeTable, "-rn"}, interfaceArea_, sizeof interfaceArea_)) {
        failFatally();
    }
    std::string_view routes(interfaceArea_);
    std::string name;
    if (routes.empty()) {
        SystemLog::log("special case for PCI Modem (Bewan PCI st) detected");
        if (!run({programs_.interfaceList}, listingArea_, sizeof listingArea_)) {
            failFatally();
        }
        name = DiscoveryParser::modemInterface(listingArea_);
        if (!name.empty()) {
            SystemLog::log("guessed interface : #" + name + "#");
        }
    } else {
        name = DiscoveryParser::defaultRouteInterface(routes);
    }
    if (name.empty()) {
        SystemLog::log("No connection found !, please check you are connected to the network...");
        NotificationCenter::defaultCenter().postNotification("noNetworkNotification", nullptr);
        return {};
    }
    std::snprintf(interfaceArea_, sizeof interfaceArea_, "%s", name.c_str());
    return name;
}

std::string IpfwRule::searchIpAdr(const std::string& interfaceName) {
    if (interfaceName.empty()) {
        return {};
    }
    if (!run({programs_.interfaceList, interfaceName}, addressArea_, sizeof addressArea_)) {
        failFatally();
    }
    const std::string address = DiscoveryParser::inetAddress(addressArea_);
    if (address.empty()) {
        SystemLog::reportError("Quellbox Error : getIpAdr()");
        return {};
    }
    std::snprintf(addressArea_, sizeof addressArea_, "%s", address.c_str());
    return address;
}

}  // namespace quellbox
