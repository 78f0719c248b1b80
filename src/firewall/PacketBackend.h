#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firewall/DivertSocket.h"
#include "firewall/FirewallPrograms.h"

namespace quellbox {

class SimKernel;

// One way of getting packets in and out, chosen at start by name:
//   "nfqueue"  Linux NFQUEUE (CAP_NET_ADMIN): NfqueueDivertSocket; firewall quellbox-ipfw
//   (iptables),
//              routing table quellbox-netstat, interfaces ifconfig (net-tools);
//   "sim"      the in-process simulated kernel (SimKernel::sharedInstance(), or a kernel
//              given by a test): SimDivertSocket; the simulator's tools quellbox-sim-ipfw,
//              quellbox-sim-netstat, quellbox-sim-ifconfig;
//   "divert"   the real divert socket (only where IPPROTO_DIVERT exists): BsdDivertSocket;
//              /sbin/ipfw, /usr/bin/netstat, /sbin/ifconfig.
//
// The tools are looked up, in order, in $QUELLBOX_LIBEXEC_DIR, in the running executable's
// own folder and in ../libexec/quellbox and ../lib/quellbox beside it (the installed layout),
// and in the build tree's tools folder. A privileged process (Capabilities::isPrivileged) ignores
// $QUELLBOX_LIBEXEC_DIR, and a secure exec (the installed engine) the build tree too: the
// firewall program runs with the shaping rights.
class PacketBackend {
public:
    struct Choice {
        std::string name;
        // Why this backend was taken instead of the preferred one (empty when preferred);
        // meant for the user.
        std::string reason;
    };

    // The backend of that name; nothing (with the reason) when the name is unknown or the
    // backend is not available in this build.
    static std::optional<PacketBackend> named(const std::string& name,
                                              std::string* reason = nullptr);
    // The sim backend over a kernel of the caller's (tests); the kernel must outlive it and
    // every socket it makes.
    static PacketBackend simulated(SimKernel& kernel);
    // nfqueue when this build has it, the process holds CAP_NET_ADMIN and the firewall tools
    // are found; divert where divert sockets exist and the process is root; else sim, with
    // the reason.
    static Choice chooseDefault();
    // The names this build knows.
    static std::vector<std::string> availableNames();
    // The absolute path of one of the project's tool programs (see the search order above).
    static std::string toolPath(const std::string& program);

    const std::string& name() const { return name_; }
    const FirewallPrograms& programs() const { return programs_; }
    // A fresh, unopened socket of this backend.
    std::unique_ptr<DivertSocket> makeDivertSocket() const;

private:
    PacketBackend(std::string name, FirewallPrograms programs, SimKernel* kernel);

    std::string name_;
    FirewallPrograms programs_;
    SimKernel* kernel_ = nullptr;  // sim only
};

}  // namespace quellbox
