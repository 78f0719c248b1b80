// Any bytes as the output of the routing table listing or the interface listing, and as the
// simulated firewall's state file.
#include "firewall/DiscoveryParser.h"
#include "firewall/SimFirewallState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string interface = DiscoveryParser::defaultRouteInterface(text);
    if (interface.find('\n') != std::string::npos) {
        __builtin_trap();  // a name never runs into the next line
    }
    const std::string modem = DiscoveryParser::modemInterface(text);
    if (!modem.empty() && modem.rfind("ppp", 0) != 0) {
        __builtin_trap();
    }
    const std::string address = DiscoveryParser::inetAddress(text);
    if (address.find_first_of(" \t\n") != std::string::npos) {
        __builtin_trap();
    }
    std::string error;
    if (const auto state = SimFirewallState::fromText(text, &error)) {
        // What was read writes out and reads back the same.
        const auto again = SimFirewallState::fromText(state->toText(), &error);
        if (!again || again->toText() != state->toText()) {
            __builtin_trap();
        }
    }
    return 0;
}
