// The simulator's firewall command: ipfw's "list", "add ..." and "delete N" on the rule
// table in the simulator's state file (SimFirewallState), which the in-process SimKernel
// reads. A "refuse <verb> [N]" line in the state file makes it refuse that command.
#include <cstdio>
#include <string>
#include <vector>

#include "firewall/IpfwCommand.h"
#include "firewall/SimFirewallState.h"

namespace {

constexpr int kUsageError = 64;
constexpr int kRefused = 1;

const char* verbName(quellbox::IpfwCommand::Verb verb) {
    switch (verb) {
        case quellbox::IpfwCommand::Verb::List:
            return "list";
        case quellbox::IpfwCommand::Verb::AddServer:
        case quellbox::IpfwCommand::Verb::AddClient:
            return "add";
        case quellbox::IpfwCommand::Verb::Delete:
            return "delete";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    using quellbox::IpfwCommand;
    using quellbox::SimFirewallState;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto command = IpfwCommand::parse(arguments, &error);
    if (!command) {
        std::fprintf(stderr, "quellbox-sim-ipfw: %s\n", error.c_str());
        return kUsageError;
    }
    const auto path = SimFirewallState::defaultPath();
    int status = 0;
    const bool stored = SimFirewallState::update(path, [&](SimFirewallState& state) {
        if (state.refuses(verbName(command->verb), command->rule)) {
            std::fprintf(stderr, "quellbox-sim-ipfw: %s refused (simulated failure)\n",
                         verbName(command->verb));
            status = kRefused;
            return false;
        }
        switch (command->verb) {
            case IpfwCommand::Verb::List:
                std::fputs(state.listing().c_str(), stdout);
                return false;
            case IpfwCommand::Verb::AddServer:
            case IpfwCommand::Verb::AddClient:
                state.addRule(*command);
                return true;
            case IpfwCommand::Verb::Delete:
                if (state.deleteRule(command->rule) == 0) {
                    std::fprintf(stderr, "quellbox-sim-ipfw: rule %d: no such rule\n",
                                 command->rule);
                    status = 1;
                    return false;
                }
                return true;
        }
        return false;
    });
    if (!stored) {
        std::fprintf(stderr, "quellbox-sim-ipfw: cannot use the state file %s\n", path.c_str());
        return 1;
    }
    return std::fflush(stdout) == 0 ? status : 1;
}
