#pragma once

#include <filesystem>
#include <string>

#include "TempDir.h"

namespace quellbox::privileged {

// The build tree installed into a temporary prefix (cmake --install), with the rights the
// Debian package's postinst gives: quellbox-engine and quellbox-ipfw in the group quellbox,
// mode 0750, and the engine's file capabilities. Needs root and the group quellbox.
class InstalledTree {
public:
    InstalledTree();

    // Why the tree cannot be installed (cmake or setcap missing, a step failed), or the
    // empty text once it is.
    std::string installOrWhyNot();

    const std::filesystem::path& prefix() const { return prefix_.path(); }
    std::filesystem::path engine() const { return prefix() / "bin" / "quellbox-engine"; }
    std::filesystem::path window() const { return prefix() / "bin" / "quellbox"; }

private:
    testing::TempDir prefix_;
};

}  // namespace quellbox::privileged
