#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakePrograms.h"
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

}  // namespace
}  // namespace quellbox
