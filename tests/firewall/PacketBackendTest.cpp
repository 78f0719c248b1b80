#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "ChildProcess.h"
#include "FakePrograms.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "platform/Capabilities.h"

namespace quellbox {
namespace {

TEST(PacketBackend, UnknownNamesAreRefusedWithAReason) {
    std::string reason;
    EXPECT_FALSE(PacketBackend::named("ipfw", &reason).has_value());
    EXPECT_NE(reason.find("unknown backend 'ipfw'"), std::string::npos) << reason;
}

TEST(PacketBackend, EveryBackendOfThisBuildHasRunnableProgramsAndASocket) {
    for (const auto& name : PacketBackend::availableNames()) {
        if (name == "divert") {
            continue;  // the system's own programs
        }
        const auto backend = PacketBackend::named(name);
        ASSERT_TRUE(backend) << name;
        EXPECT_EQ(backend->name(), name);
        for (const auto& program : {backend->programs().firewall, backend->programs().routeTable,
                                    backend->programs().interfaceList}) {
            EXPECT_EQ(::access(program.c_str(), X_OK), 0) << name << ": " << program;
        }
        const auto socket = backend->makeDivertSocket();
        ASSERT_NE(socket, nullptr) << name;
        EXPECT_STREQ(socket->backendName(), name.c_str());
    }
}

TEST(PacketBackend, TheLibexecOverrideComesFirstInAProcessWithoutRights) {
    testing::TempDir folder;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0755), 0);
    testing::FakePrograms::writeScript(folder / "quellbox-ipfw", "exit 0\n");
    ::setenv("QUELLBOX_LIBEXEC_DIR", folder.path().c_str(), 1);
    const std::string overridden = (folder / "quellbox-ipfw").string();
    // A root test looks from the process of an ordinary user, and checks that root itself
    // (whose firewall program runs with rights) takes no notice of it.
    const bool root = ::geteuid() == 0;
    if (root) {
        EXPECT_NE(PacketBackend::toolPath("quellbox-ipfw"), overridden);
    }
    const int found = testing::runInChild([&] {
        if (root &&
            (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
            return 2;
        }
        // A program missing there is still found in the build tree.
        return PacketBackend::toolPath("quellbox-ipfw") == overridden &&
                       PacketBackend::toolPath("quellbox-netstat") ==
                           std::string(QUELLBOX_LIBEXEC_BUILD_DIR) + "/quellbox-netstat"
                   ? 0
                   : 1;
    });
    ::unsetenv("QUELLBOX_LIBEXEC_DIR");
    EXPECT_EQ(found, 0);
}

TEST(PacketBackend, TheDefaultExplainsAFallBackToTheSimulator) {
    const auto choice = PacketBackend::chooseDefault();
    const auto names = PacketBackend::availableNames();
    EXPECT_NE(std::find(names.begin(), names.end(), choice.name), names.end());
    if (choice.name == "sim") {
        EXPECT_FALSE(choice.reason.empty());
    } else {
        EXPECT_TRUE(Capabilities::holdsNetAdmin());
        EXPECT_TRUE(choice.reason.empty());
    }
}

}  // namespace
}  // namespace quellbox
