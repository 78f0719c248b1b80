// The firewall command of the nfqueue backend: ipfw's "list", "add N divert D tcp from ...",
// and "delete N", carried out with iptables (see IptablesFirewall). Runs as root.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "IptablesFirewall.h"
#include "firewall/IpfwCommand.h"

namespace {

constexpr int kUsageError = 64;

void usage() {
    std::fputs(
        "usage: quellbox-ipfw list\n"
        "       quellbox-ipfw add N divert D tcp from A P to any out via I\n"
        "       quellbox-ipfw add N divert D tcp from A to any P via I\n"
        "       quellbox-ipfw delete N\n",
        stderr);
}

// Serialises the read-modify-write of concurrent invocations.
int lockFirewall() {
    for (const char* path : {"/run/quellbox-ipfw.lock", "/tmp/quellbox-ipfw.lock"}) {
        const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            continue;
        }
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd);
                return -1;
            }
        }
        return fd;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // Started by a set-user-id parent, the tool has root as effective user only; iptables
    // refuses to work for a process whose real user is not root. Become root wholly: this
    // process only ever runs iptables.
    if (::geteuid() == 0 && ::getuid() != 0 &&
        (::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0)) {
        std::fprintf(stderr, "quellbox-ipfw: cannot become root wholly: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto command = quellbox::IpfwCommand::parse(arguments, &error);
    if (!command) {
        std::fprintf(stderr, "quellbox-ipfw: %s\n", error.c_str());
        usage();
        return kUsageError;
    }
    const int lock = lockFirewall();
    if (lock < 0) {
        std::fprintf(stderr, "quellbox-ipfw: cannot lock the firewall: %s\n", std::strerror(errno));
        return 1;
    }
    quellbox::IptablesFirewall firewall(quellbox::IptablesFirewall::defaultIptables());
    const int status = firewall.execute(*command);
    ::close(lock);
    return status;
}
