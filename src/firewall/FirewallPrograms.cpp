#include "firewall/FirewallPrograms.h"

namespace quellbox {

std::optional<CommandRunner::Outcome> FirewallPrograms::runFirewall(
    const std::vector<std::string>& arguments, std::size_t maxOutput, std::string* refusal) const {
    *refusal = guard.refusal(arguments);
    if (!refusal->empty()) {
        return std::nullopt;
    }
    std::vector<std::string> command{firewall};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return firewallNeedsRights ? CommandRunner::runWithShapingRights(command, maxOutput)
                               : CommandRunner::run(command, maxOutput);
}

}  // namespace quellbox
