#include "control/EngineProgram.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace quellbox::control {

namespace {
constexpr const char* kProgram = "quellbox-engine";
}

std::string EngineProgram::locate(std::string& reason) {
    reason.clear();
    if (const char* chosen = std::getenv("QUELLBOX_ENGINE"); chosen != nullptr && *chosen) {
        return chosen;
    }
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return kProgram;
    }
    const auto beside = self.parent_path() / kProgram;
    const auto unprivileged = self.parent_path().parent_path() / "libexec" / "quellbox" / kProgram;
    if (::access(beside.c_str(), X_OK) != 0 && ::access(unprivileged.c_str(), X_OK) == 0) {
        reason =
            "You are not in the group quellbox, which may shape real traffic (adduser $USER "
            "quellbox, then log in again): only the simulated network is available";
        return unprivileged.string();
    }
    return beside.string();
}

}  // namespace quellbox::control
