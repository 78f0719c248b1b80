// An iptables extension as an attacker would put it in a folder on XTABLES_LIBDIR, under the
// names of the extensions Quellbox's rules use (libxt_tcp.so, libxt_comment.so,
// libxt_NFQUEUE.so): when a process loads it, it writes the file "<its name>.mark" beside
// itself, owned by whoever that process runs as.
#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace {

__attribute__((constructor)) void markTheLoad() {
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void*>(&markTheLoad), &self) == 0 || self.dli_fname == nullptr) {
        return;
    }
    const std::string mark = std::string(self.dli_fname) + ".mark";
    if (FILE* file = std::fopen(mark.c_str(), "w")) {
        std::fputs("loaded\n", file);
        std::fclose(file);
    }
}

}  // namespace
