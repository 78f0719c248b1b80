#include "FakePrograms.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace quellbox::testing {

FakePrograms::FakePrograms() {
    writeScript(folder() / "ipfw",
                "d=$(dirname \"$0\")\n"
                "echo \"$0 $*\" >> \"$d/calls\"\n"
                "case \"$1\" in\n"
                "  list) cat \"$d/listing\" ;;\n"
                "  add|delete) [ -e \"$d/refuse-$1-$2\" ] && exit 1 ;;\n"
                "esac\n"
                "exit 0\n");
    writeScript(folder() / "netstat",
                "d=$(dirname \"$0\")\n"
                "echo netstat >> \"$d/runs\"\n"
                "cat \"$d/routes\"\n");
    writeScript(folder() / "ifconfig",
                "d=$(dirname \"$0\")\n"
                "if [ $# -eq 0 ]; then cat \"$d/ifconfig-all\"; else cat \"$d/ifconfig-$1\"; fi\n");
    setFile("listing", "65535 allow ip from any to any\n");
    setFile("routes", "");
    setFile("ifconfig-all", "");
}

FirewallPrograms FakePrograms::programs() const {
    return {(folder() / "ipfw").string(), (folder() / "netstat").string(),
            (folder() / "ifconfig").string(), RuleGuard::simulated({"192.0.2.1"}, {"sim0"}), false};
}

void FakePrograms::setFile(const std::string& name, const std::string& contents) const {
    std::ofstream(folder() / name, std::ios::binary | std::ios::trunc) << contents;
}

std::string FakePrograms::file(const std::string& name) const {
    std::ifstream stream(folder() / name, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void FakePrograms::writeScript(const std::filesystem::path& path, const std::string& body) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
}

}  // namespace quellbox::testing
