#include "firewall/StaleRules.h"

#include <sstream>

#include "firewall/IpfwCommand.h"

namespace quellbox {

namespace {

constexpr std::size_t kMaxListing = 1 << 20;

bool runFirewall(const FirewallPrograms& programs, const std::vector<std::string>& arguments,
                 std::string* output) {
    std::string refusal;
    const auto outcome = programs.runFirewall(arguments, kMaxListing, &refusal);
    if (!outcome || !outcome->exited || outcome->exitStatus != 0) {
        return false;
    }
    if (output != nullptr) {
        *output = outcome->output;
    }
    return true;
}

}  // namespace

std::vector<int> StaleRules::find(const std::string& listing, int divertPort) {
    std::vector<int> numbers;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const auto rule = IpfwCommand::parseListingLine(line, nullptr);
        if (rule && rule->divertPort == divertPort && rule->rule != IpfwCommand::kDefaultRule) {
            numbers.push_back(rule->rule);
        }
    }
    return numbers;
}

int StaleRules::removeAll(const FirewallPrograms& programs, int divertPort, std::string& report) {
    std::string listing;
    if (!runFirewall(programs, {"list"}, &listing)) {
        report = "can't list the firewall rules with " + programs.firewall;
        return -1;
    }
    const auto numbers = find(listing, divertPort);
    int removed = 0;
    std::string failed;
    for (const int number : numbers) {
        if (runFirewall(programs, {"delete", std::to_string(number)}, nullptr)) {
            ++removed;
        } else {
            failed += " " + std::to_string(number);
        }
    }
    report = std::to_string(removed) + " divert rule(s) to port " + std::to_string(divertPort) +
             " removed";
    if (!failed.empty()) {
        report += "; can't remove rule(s)" + failed;
        return -1;
    }
    return removed;
}

}  // namespace quellbox
