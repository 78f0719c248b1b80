#include "firewall/PacketBackend.h"

#include <sys/auxv.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "firewall/SimDivertSocket.h"
#include "firewall/SimKernel.h"
#include "platform/Capabilities.h"

#ifdef QUELLBOX_HAVE_NFQUEUE
#include "firewall/NfqueueDivertSocket.h"
#endif
#ifdef QUELLBOX_HAVE_DIVERT
#include "firewall/BsdDivertSocket.h"
#endif

namespace quellbox {

namespace {

bool isExecutable(const std::filesystem::path& path) { return ::access(path.c_str(), X_OK) == 0; }

std::vector<std::filesystem::path> toolDirectories() {
    std::vector<std::filesystem::path> directories;
    // Not honoured by a privileged process: the environment would pick the programs that
    // get the shaping rights.
    if (const char* override = ::getenv("QUELLBOX_LIBEXEC_DIR");
        override != nullptr && *override && !Capabilities::isPrivileged()) {
        directories.emplace_back(override);
    }
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        // The program's own folder first: the engine's copy without capabilities lives
        // among the tools in libexec/quellbox.
        directories.push_back(executable.parent_path());
        const auto prefix = executable.parent_path().parent_path();
        directories.push_back(prefix / "libexec" / "quellbox");
        directories.push_back(prefix / "lib" / "quellbox");
    }
    // A secure exec (the installed engine's file capabilities) takes its tools from the
    // installed layout only, never from a build tree that its user may own.
    if (::getauxval(AT_SECURE) == 0 || directories.empty()) {
        directories.emplace_back(QUELLBOX_LIBEXEC_BUILD_DIR);
    }
    return directories;
}

// The first of the candidate paths that can be executed, else the first candidate (so that
// running it fails with a clear message).
std::string firstExecutable(const std::vector<std::string>& candidates) {
    for (const auto& candidate : candidates) {
        if (isExecutable(candidate)) {
            return candidate;
        }
    }
    return candidates.front();
}

FirewallPrograms nfqueuePrograms() {
    return {PacketBackend::toolPath("quellbox-ipfw"), PacketBackend::toolPath("quellbox-netstat"),
            firstExecutable({"/sbin/ifconfig", "/usr/sbin/ifconfig", "/bin/ifconfig"}), RuleGuard(),
            true};
}

FirewallPrograms simPrograms() {
    return {PacketBackend::toolPath("quellbox-sim-ipfw"),
            PacketBackend::toolPath("quellbox-sim-netstat"),
            PacketBackend::toolPath("quellbox-sim-ifconfig"),
            RuleGuard::simulated({SimKernel::kLocalAddress}, {SimKernel::kInterface}), false};
}

}  // namespace

PacketBackend::PacketBackend(std::string name, FirewallPrograms programs, SimKernel* kernel)
    : name_(std::move(name)), programs_(std::move(programs)), kernel_(kernel) {}

std::string PacketBackend::toolPath(const std::string& program) {
    const auto directories = toolDirectories();
    for (const auto& directory : directories) {
        if (isExecutable(directory / program)) {
            return (directory / program).string();
        }
    }
    return (directories.back() / program).string();
}

std::vector<std::string> PacketBackend::availableNames() {
    std::vector<std::string> names{"sim"};
#ifdef QUELLBOX_HAVE_NFQUEUE
    names.emplace_back("nfqueue");
#endif
#ifdef QUELLBOX_HAVE_DIVERT
    names.emplace_back("divert");
#endif
    return names;
}

std::optional<PacketBackend> PacketBackend::named(const std::string& name, std::string* reason) {
    if (name == "sim") {
        // Made now, at start, so that it exports the state file's path before any tool runs.
        return PacketBackend(name, simPrograms(), &SimKernel::sharedInstance());
    }
#ifdef QUELLBOX_HAVE_NFQUEUE
    if (name == "nfqueue") {
        return PacketBackend(name, nfqueuePrograms(), nullptr);
    }
#endif
#ifdef QUELLBOX_HAVE_DIVERT
    if (name == "divert") {
        return PacketBackend(
            name, {"/sbin/ipfw", "/usr/bin/netstat", "/sbin/ifconfig", RuleGuard(), true}, nullptr);
    }
#endif
    if (reason != nullptr) {
        *reason = name == "nfqueue" || name == "divert"
                      ? "the " + name + " backend is not available in this build"
                      : "unknown backend '" + name + "' (sim, nfqueue or divert)";
    }
    return std::nullopt;
}

PacketBackend PacketBackend::simulated(SimKernel& kernel) {
    return PacketBackend("sim", simPrograms(), &kernel);
}

PacketBackend::Choice PacketBackend::chooseDefault() {
#if defined(QUELLBOX_HAVE_DIVERT)
    if (::geteuid() == 0) {
        return {"divert", ""};
    }
    return {"sim", "Quellbox does not run as root, which divert sockets need: using the simulator"};
#elif defined(QUELLBOX_HAVE_NFQUEUE)
    if (!Capabilities::holdsNetAdmin()) {
        return {"sim",
                "Quellbox does not hold CAP_NET_ADMIN, which the kernel packet queue needs "
                "(install quellbox-engine with its capabilities and join the group quellbox: "
                "adduser USER quellbox): using the simulator"};
    }
    const FirewallPrograms programs = nfqueuePrograms();
    for (const auto& tool : {programs.firewall, programs.routeTable, programs.interfaceList}) {
        if (!isExecutable(tool)) {
            return {"sim", "the program " + tool + " is missing: using the simulator"};
        }
    }
    return {"nfqueue", ""};
#else
    return {"sim",
            "this build has no kernel packet queue (libnetfilter_queue): using the simulator"};
#endif
}

std::unique_ptr<DivertSocket> PacketBackend::makeDivertSocket() const {
    if (kernel_ != nullptr) {
        return std::make_unique<SimDivertSocket>(*kernel_);
    }
#ifdef QUELLBOX_HAVE_NFQUEUE
    if (name_ == "nfqueue") {
        return std::make_unique<NfqueueDivertSocket>();
    }
#endif
#ifdef QUELLBOX_HAVE_DIVERT
    if (name_ == "divert") {
        return std::make_unique<BsdDivertSocket>();
    }
#endif
    return nullptr;
}

}  // namespace quellbox
