// The simulator's routing table listing, in the BSD "netstat -rn" form: a default route
// through 192.0.2.254 on sim0, unless the state file says "offline". A "refuse netstat"
// line in the state file makes it fail.
#include <cstdio>

#include "firewall/SimFirewallState.h"
#include "firewall/SimKernel.h"

int main() {
    using quellbox::SimFirewallState;
    using quellbox::SimKernel;
    const auto path = SimFirewallState::defaultPath();
    const auto state = SimFirewallState::load(path);
    if (!state) {
        std::fprintf(stderr, "quellbox-sim-netstat: cannot read the state file %s\n", path.c_str());
        return 1;
    }
    if (state->refuses("netstat")) {
        std::fputs("quellbox-sim-netstat: refused (simulated failure)\n", stderr);
        return 1;
    }
    std::printf("Routing tables\n\nInternet:\n");
    std::printf("%-18s %-18s %-8s %5s %8s %7s\n", "Destination", "Gateway", "Flags", "Refs", "Use",
                "Netif");
    if (!state->offline) {
        std::printf("%-18s %-18s %-8s %5d %8d %7s\n", "default", SimKernel::kGatewayAddress, "UGSc",
                    4, 15, SimKernel::kInterface);
    }
    std::printf("%-18s %-18s %-8s %5d %8d %7s\n", "127", "127.0.0.1", "UCS", 0, 0, "lo0");
    std::printf("%-18s %-18s %-8s %5d %8d %7s\n", "127.0.0.1", "127.0.0.1", "UH", 1, 0, "lo0");
    std::printf("%-18s %-18s %-8s %5d %8d %7s\n", "192.0.2/24", "link#2", "UCS", 1, 0,
                SimKernel::kInterface);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
