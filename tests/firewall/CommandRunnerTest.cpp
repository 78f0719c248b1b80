#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FakePrograms.h"
#include "firewall/CommandRunner.h"
#include "firewall/IpfwRule.h"

namespace quellbox {
namespace {

using testing::FakePrograms;
using testing::TempDir;

class CommandRunnerTest : public ::testing::Test {
protected:
    // Runs a shell snippet through the runner into an area of `capacity` bytes followed by
    // guard bytes, and checks the guard afterwards.
    std::string run(const std::string& body, std::size_t capacity = IpfwRule::kListResultSize,
                    bool* failed = nullptr) {
        const auto script = folder_ / "program";
        FakePrograms::writeScript(script, body);
        std::vector<char> area(capacity + kGuard, '#');
        const std::string path = script.string();
        const char* arguments[] = {path.c_str(), nullptr};
        const char* result = IpfwRule::execThisCommand(arguments, area.data(), capacity);
        for (std::size_t i = capacity; i < area.size(); ++i) {
            EXPECT_EQ(area[i], '#') << "written past the caller's area at " << i;
        }
        const bool isFailure = std::strcmp(result, IpfwRule::kFailure) == 0;
        if (failed != nullptr) {
            *failed = isFailure;
        }
        if (!isFailure) {
            EXPECT_EQ(result, area.data());
        }
        return isFailure ? std::string() : std::string(result);
    }

    static constexpr std::size_t kGuard = 64;
    TempDir folder_;
};

TEST_F(CommandRunnerTest, EmptyOutputIsTheEmptyTextNotAFailure) {
    bool failed = true;
    EXPECT_EQ(run("exit 0\n", 256, &failed), "");
    EXPECT_FALSE(failed);
}

TEST_F(CommandRunnerTest, OutputArrivesWholeWithItsArgumentsInOrder) {
    const auto script = folder_ / "echoer";
    FakePrograms::writeScript(script, "printf '%s|' \"$0\" \"$@\"\n");
    const std::string path = script.string();
    const char* arguments[] = {path.c_str(), "add", "65534", "divert", nullptr};
    char area[256];
    ASSERT_EQ(IpfwRule::execThisCommand(arguments, area, sizeof area), area);
    EXPECT_EQ(std::string(area), path + "|add|65534|divert|");
}

TEST_F(CommandRunnerTest, AnEmptyArgumentEndsTheList) {
    const auto script = folder_ / "echoer";
    FakePrograms::writeScript(script, "printf '%s|' \"$@\"\n");
    const std::string path = script.string();
    const char* arguments[] = {path.c_str(), "from", "", "to", nullptr};
    char area[256];
    ASSERT_EQ(IpfwRule::execThisCommand(arguments, area, sizeof area), area);
    EXPECT_EQ(std::string(area), "from|");
}

TEST_F(CommandRunnerTest, NonZeroExitStatusIsAFailureWithItsMessage) {
    ::testing::internal::CaptureStderr();
    bool failed = false;
    run("echo some output\nexit 1\n", 256, &failed);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed);
    EXPECT_NE(errors.find("child returned an error (1) !\n"), std::string::npos) << errors;
}

TEST_F(CommandRunnerTest, AChildKilledByASignalIsAFailure) {
    ::testing::internal::CaptureStderr();
    bool failed = false;
    run("kill -9 $$\n", 256, &failed);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed);
    EXPECT_NE(errors.find("child did not exit normaly !\n"), std::string::npos) << errors;
}

TEST_F(CommandRunnerTest, AMissingProgramIsAFailure) {
    ::testing::internal::CaptureStderr();
    const std::string path = (folder_ / "no-such-program").string();
    const char* arguments[] = {path.c_str(), nullptr};
    char area[256];
    const char* result = IpfwRule::execThisCommand(arguments, area, sizeof area);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_STREQ(result, IpfwRule::kFailure);
    EXPECT_NE(errors.find("'execv()' should not return !\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("child returned an error (127) !"), std::string::npos) << errors;
}

TEST_F(CommandRunnerTest, ExactlyTheCaptureLimitArrivesWholeAndMoreIsCut) {
    // 16383 bytes: the capture area's limit.
    const std::string exact = run("head -c 16383 /dev/zero | tr '\\0' x\n");
    EXPECT_EQ(exact, std::string(16383, 'x'));
    const std::string longer = run("head -c 20000 /dev/zero | tr '\\0' y\n");
    EXPECT_EQ(longer, std::string(16383, 'y'));
}

TEST_F(CommandRunnerTest, OutputFarLargerThanThePipeBufferDoesNotStallTheChild) {
    // 1 MiB, then a marker that only appears once the child has written everything.
    const std::string output = run("head -c 1048576 /dev/zero | tr '\\0' z\nexit 0\n");
    EXPECT_EQ(output, std::string(16383, 'z'));
}

TEST_F(CommandRunnerTest, TheCallersCapacityIsRespected) {
    const std::string text = "0123456789abcdefghij";
    EXPECT_EQ(run("printf '" + text + "'\n", 8), text.substr(0, 7));
    EXPECT_EQ(run("printf '" + text + "'\n", 256), text);
    // A 256-byte area (the rule commands) with 1000 bytes of output.
    EXPECT_EQ(run("head -c 1000 /dev/zero | tr '\\0' a\n", 256), std::string(255, 'a'));
}

TEST(CommandRunnerRights, AChildWithTheShapingRightsGetsTheBareEnvironmentOnly) {
    ::setenv("XTABLES_LIBDIR", "/tmp/planted", 1);
    const auto bare = CommandRunner::runWithShapingRights({"/usr/bin/env"}, 65536);
    const auto ordinary = CommandRunner::run(std::vector<std::string>{"/usr/bin/env"}, 65536);
    ::unsetenv("XTABLES_LIBDIR");
    ASSERT_TRUE(bare && ordinary);
    EXPECT_EQ(bare->output, "PATH=/usr/sbin:/usr/bin:/sbin:/bin\n");
    EXPECT_NE(ordinary->output.find("XTABLES_LIBDIR=/tmp/planted\n"), std::string::npos);
}

constexpr std::uint32_t kShapingRights = (1U << CAP_NET_ADMIN) | (1U << CAP_NET_RAW);

// One capability set ("CapAmb", "CapEff") of a /proc/<pid>/status text.
std::uint64_t capabilitySet(const std::string& status, const std::string& name) {
    const auto at = status.find("\n" + name + ":\t");
    return at == std::string::npos ? ~0ULL
                                   : std::stoull(status.substr(at + name.size() + 3), 0, 16);
}

// Turns the calling (child) process into user nobody holding exactly the shaping rights as
// ambient capabilities: the engine as its service manager starts it.
bool becomeNobodyWithAmbientRights() {
    if (::prctl(PR_SET_KEEPCAPS, 1UL, 0UL, 0UL, 0UL) != 0 || ::setgroups(0, nullptr) != 0 ||
        ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    data[0].effective = data[0].permitted = data[0].inheritable = kShapingRights;
    return ::syscall(SYS_capset, &header, data) == 0 &&
           ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0UL, 0UL) == 0 &&
           ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_RAW, 0UL, 0UL) == 0;
}

TEST(CommandRunnerRights, OnlyAChildWithTheShapingRightsHoldsThem) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand itself the capabilities (CI runs as root)";
    }
    // Answers 0, or which check failed.
    const int failed = testing::runInChild([] {
        if (!becomeNobodyWithAmbientRights()) {
            return 1;
        }
        const std::vector<std::string> status{"/bin/cat", "/proc/self/status"};
        const auto withRights = CommandRunner::runWithShapingRights(status, 65536);
        const auto ordinary = CommandRunner::run(status, 65536);
        if (!withRights || !ordinary) {
            return 2;
        }
        for (const char* set : {"CapEff", "CapAmb"}) {
            if (capabilitySet(withRights->output, set) != kShapingRights) {
                return 3;
            }
            if (capabilitySet(ordinary->output, set) != 0) {
                return 4;
            }
        }
        return 0;
    });
    EXPECT_EQ(failed, 0) << "1: no ambient rights to start from, 2: a child did not run, "
                            "3: the firewall child lacks the rights, 4: an ordinary child holds "
                            "capabilities";
}

}  // namespace
}  // namespace quellbox
