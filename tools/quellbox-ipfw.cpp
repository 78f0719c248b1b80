// The firewall command of the nfqueue backend: ipfw's "list", "add N divert D tcp from ...",
// and "delete N", carried out with iptables (see IptablesFirewall). It runs with the shaping
// rights that quellbox-engine passes on (ambient capabilities), never set-user-id, and checks
// every rule itself (RuleGuard) before iptables sees it.
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
#include "firewall/RuleGuard.h"

namespace {

constexpr int kUsageError = 64;
constexpr int kRefused = 77;

void usage() {
    std::fputs(
        "usage: quellbox-ipfw list\n"
        "       quellbox-ipfw add N divert D tcp from A P to any out via I\n"
        "       quellbox-ipfw add N divert D tcp from A to any P via I\n"
        "       quellbox-ipfw delete N\n",
        stderr);
}

// Serialises the read-modify-write of concurrent invocations, also of different users: the
// lock is this program's own file, which every caller can open and nobody can replace (a
// lock file in a shared folder could be planted by anyone). The package installs the
// program for the group quellbox only, so that nobody else can hold the lock.
int lockFirewall() {
    const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int savedErrno = errno;
            ::close(fd);
            errno = savedErrno;
            return -1;
        }
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto command = quellbox::IpfwCommand::parse(arguments, &error);
    if (!command) {
        std::fprintf(stderr, "quellbox-ipfw: %s\n", error.c_str());
        usage();
        return kUsageError;
    }
    if (const std::string refusal = quellbox::RuleGuard().refusal(*command); !refusal.empty()) {
        std::fprintf(stderr, "quellbox-ipfw: refused: %s\n", refusal.c_str());
        return kRefused;
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
