#include "InstalledTree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "NetNamespaces.h"

namespace quellbox::privileged {

namespace {
constexpr const char* kCmake = "/usr/bin/cmake";
constexpr const char* kSetcap = "/usr/sbin/setcap";
}  // namespace

InstalledTree::InstalledTree() = default;

std::string InstalledTree::installOrWhyNot() {
    for (const char* program : {kCmake, kSetcap}) {
        if (::access(program, X_OK) != 0) {
            return std::string(program) + " is not installed";
        }
    }
    if (::chmod(prefix().c_str(), 0755) != 0) {
        return "cannot open the prefix to other users";
    }
    std::string output;
    if (!run({kCmake, "--install", QUELLBOX_BUILD_TREE, "--prefix", prefix().string()}, &output)) {
        return "cmake --install failed: " + output;
    }
    const std::string engine = this->engine().string();
    const std::string ipfw = (prefix() / "libexec" / "quellbox" / "quellbox-ipfw").string();
    // As the package's postinst: the change of group first, since it takes capabilities away.
    const std::vector<std::vector<std::string>> steps{
        {"/usr/bin/chgrp", "quellbox", engine, ipfw},
        {"/usr/bin/chmod", "0750", engine, ipfw},
        {kSetcap, "cap_net_admin,cap_net_raw+ep", engine},
    };
    for (const auto& step : steps) {
        if (!run(step)) {
            return step[0] + " failed on the installed tree";
        }
    }
    return "";
}

}  // namespace quellbox::privileged
