#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
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
    // Runs `program` with `arguments` into an area of `capacity` bytes followed by guard
    // bytes, and checks the guard afterwards; nothing for a failure.
    std::optional<std::string> run(const std::string& program,
                                   std::vector<const char*> arguments = {},
                                   std::size_t capacity = IpfwRule::kListResultSize) {
        std::vector<char> area(capacity + kGuard, '#');
        arguments.insert(arguments.begin(), program.c_str());
        arguments.push_back(nullptr);
        const char* result = IpfwRule::execThisCommand(arguments.data(), area.data(), capacity);
        for (std::size_t i = capacity; i < area.size(); ++i) {
            EXPECT_EQ(area[i], '#') << "written past the caller's area at " << i;
        }
        if (std::strcmp(result, IpfwRule::kFailure) == 0) {
            return std::nullopt;
        }
        EXPECT_EQ(result, area.data());
        return std::string(result);
    }
    std::optional<std::string> script(const std::string& body,
                                      std::size_t capacity = IpfwRule::kListResultSize) {
        FakePrograms::writeScript(folder_ / "program", body);
        return run((folder_ / "program").string(), {}, capacity);
    }

    static constexpr std::size_t kGuard = 64;
    TempDir folder_;
};

TEST_F(CommandRunnerTest, ArgumentsArriveInOrderUpToAnEmptyOne) {
    const auto echoer = (folder_ / "echoer").string();
    FakePrograms::writeScript(echoer, "printf '%s|' \"$0\" \"$@\"\n");
    EXPECT_EQ(run(echoer, {"add", "65534", "divert"}), echoer + "|add|65534|divert|");
    EXPECT_EQ(run(echoer, {"from", "", "to"}), echoer + "|from|");
}

TEST_F(CommandRunnerTest, OutputIsCutToTheCapacityWithoutStallingTheChild) {
    const std::string text = "0123456789abcdefghij";
    const struct {
        const char* body;
        std::size_t capacity;
        std::string output;
    } cases[] = {
        {"exit 0\n", 256, ""},  // the empty text, not a failure
        {"printf 0123456789abcdefghij\n", 8, text.substr(0, 7)},
        {"printf 0123456789abcdefghij\n", 256, text},
        // 16383 bytes: the capture area's limit.
        {"head -c 16383 /dev/zero | tr '\\0' x\n", IpfwRule::kListResultSize,
         std::string(16383, 'x')},
        // Far more than the pipe holds: the child still finishes and its status is read.
        {"head -c 1048576 /dev/zero | tr '\\0' z\nexit 0\n", IpfwRule::kListResultSize,
         std::string(16383, 'z')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(script(c.body, c.capacity), c.output) << c.body;
    }
}

TEST_F(CommandRunnerTest, FailuresAreReportedWithTheirCause) {
    const struct {
        const char* body;  // nothing: a program that does not exist
        std::vector<std::string> messages;
    } cases[] = {
        {"echo some output\nexit 1\n", {"child returned an error (1) !\n"}},
        {"kill -9 $$\n", {"child did not exit normaly !\n"}},
        {nullptr, {"'execv()' should not return !\n", "child returned an error (127) !"}},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        const auto output =
            c.body != nullptr ? script(c.body, 256) : run((folder_ / "no-such-program").string());
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(output.has_value()) << errors;
        for (const auto& message : c.messages) {
            EXPECT_NE(errors.find(message), std::string::npos) << errors;
        }
    }
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

// A descriptor this process holds open without close-on-exec (a metrics client's socket, say)
// never reaches a program the engine runs.
TEST(CommandRunnerRights, NoChildInheritsAnOpenDescriptor) {
    constexpr int kOpen = 100;
    ASSERT_EQ(::dup2(STDIN_FILENO, kOpen), kOpen);
    const std::vector<std::string> listing{"/bin/ls", "/proc/self/fd"};
    const auto ordinary = CommandRunner::run(listing, 65536);
    const auto shaping = CommandRunner::runWithShapingRights(listing, 65536);
    ::close(kOpen);
    for (const auto& outcome : {ordinary, shaping}) {
        ASSERT_TRUE(outcome && outcome->exited);
        EXPECT_EQ(("\n" + outcome->output).find("\n100\n"), std::string::npos) << outcome->output;
        EXPECT_NE(("\n" + outcome->output).find("\n2\n"), std::string::npos) << outcome->output;
    }
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
