// The simulator's interface listing, in ifconfig's BSD form: lo0 and sim0 (192.0.2.1), or
// the one interface named. A "refuse ifconfig" line in the state file makes it fail.
#include <cstdio>
#include <cstring>
#include <string>

#include "firewall/SimFirewallState.h"
#include "firewall/SimKernel.h"

namespace {

void printLoopback() {
    std::printf(
        "lo0: flags=8049<UP,LOOPBACK,RUNNING,MULTICAST> mtu 16384\n"
        "\tinet6 ::1 prefixlen 128\n"
        "\tinet6 fe80::1%%lo0 prefixlen 64 scopeid 0x1\n"
        "\tinet 127.0.0.1 netmask 0xff000000\n");
}

void printSimulated() {
    std::printf(
        "%s: flags=8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST> mtu 1500\n"
        "\tinet6 fe80::200:5eff:fe00:5301%%%s prefixlen 64 scopeid 0x2\n"
        "\tinet %s netmask 0xffffff00 broadcast 192.0.2.255\n"
        "\tether 00:00:5e:00:53:01\n"
        "\tmedia: autoselect (1000baseT <full-duplex>)\n"
        "\tstatus: active\n",
        quellbox::SimKernel::kInterface, quellbox::SimKernel::kInterface,
        quellbox::SimKernel::kLocalAddress);
}

}  // namespace

int main(int argc, char** argv) {
    using quellbox::SimFirewallState;
    const auto path = SimFirewallState::defaultPath();
    const auto state = SimFirewallState::load(path);
    if (!state) {
        std::fprintf(stderr, "quellbox-sim-ifconfig: cannot read the state file %s\n",
                     path.c_str());
        return 1;
    }
    if (state->refuses("ifconfig")) {
        std::fputs("quellbox-sim-ifconfig: refused (simulated failure)\n", stderr);
        return 1;
    }
    if (argc > 2) {
        std::fputs("usage: quellbox-sim-ifconfig [interface]\n", stderr);
        return 64;
    }
    if (argc == 1) {
        printLoopback();
        printSimulated();
    } else if (std::strcmp(argv[1], "lo0") == 0) {
        printLoopback();
    } else if (std::strcmp(argv[1], quellbox::SimKernel::kInterface) == 0) {
        printSimulated();
    } else {
        std::fprintf(stderr, "ifconfig: interface %s does not exist\n", argv[1]);
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
