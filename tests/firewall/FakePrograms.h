#pragma once

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "firewall/FirewallPrograms.h"

namespace quellbox::testing {

// Shell scripts standing in for the firewall, routing table and interface programs. They
// live in a temporary folder and answer from files in it:
//   firewall  "list" prints the file "listing"; "add N ..." and "delete N" fail when a file
//             "refuse-add-N" / "refuse-delete-N" exists; every call is appended to "calls"
//             as "$0 $*" (one line each);
//   netstat   prints "routes" (each call appends "netstat" to "runs");
//   ifconfig  prints "ifconfig-all" without arguments, else "ifconfig-<name>".
// Their guard lets rules for 192.0.2.1 on sim0 pass.
class FakePrograms {
public:
    FakePrograms();

    FirewallPrograms programs() const;
    const std::filesystem::path& folder() const { return folder_.path(); }

    void setFile(const std::string& name, const std::string& contents) const;
    std::string file(const std::string& name) const;
    // Writes an executable script.
    static void writeScript(const std::filesystem::path& path, const std::string& body);

private:
    TempDir folder_;
};

}  // namespace quellbox::testing
