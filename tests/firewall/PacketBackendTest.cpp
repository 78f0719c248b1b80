#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "FakePrograms.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "platform/Privileges.h"

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

TEST(PacketBackend, TheLibexecOverrideComesFirst) {
    testing::TempDir folder;
    testing::FakePrograms::writeScript(folder / "quellbox-ipfw", "exit 0\n");
    ::setenv("QUELLBOX_LIBEXEC_DIR", folder.path().c_str(), 1);
    EXPECT_EQ(PacketBackend::toolPath("quellbox-ipfw"), (folder / "quellbox-ipfw").string());
    // A program missing there is still found in the build tree.
    EXPECT_EQ(PacketBackend::toolPath("quellbox-netstat"),
              std::string(QUELLBOX_LIBEXEC_BUILD_DIR) + "/quellbox-netstat");
    ::unsetenv("QUELLBOX_LIBEXEC_DIR");
}

TEST(PacketBackend, TheDefaultExplainsAFallBackToTheSimulator) {
    const auto choice = PacketBackend::chooseDefault();
    const auto names = PacketBackend::availableNames();
    EXPECT_NE(std::find(names.begin(), names.end(), choice.name), names.end());
    if (choice.name == "sim") {
        EXPECT_FALSE(choice.reason.empty());
    } else {
        EXPECT_TRUE(Privileges::canBecomeRoot());
        EXPECT_TRUE(choice.reason.empty());
    }
}

}  // namespace
}  // namespace quellbox
