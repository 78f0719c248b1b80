#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "ChildProcess.h"
#include "TempDir.h"
#include "platform/AtomicFile.h"
#include "platform/InPlaceFile.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::limitFileSize;
using testing::runInChild;
using testing::TempDir;

struct stat statOf(const std::filesystem::path& file) {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0);
    return info;
}

TEST(InPlaceFile, LongerAndShorterContentsKeepTheFileItself) {
    TempDir dir;
    const auto file = dir / "priorities.txt";
    std::ofstream(file) << "bob=3\n";
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    const auto original = statOf(file);

    ASSERT_TRUE(InPlaceFile::replace(file, "bob=3\n", "bob=3\ncarol=10\n"));
    EXPECT_EQ(AtomicFile::read(file), "bob=3\ncarol=10\n");
    ASSERT_TRUE(InPlaceFile::replace(file, "bob=3\ncarol=10\n", "x\n"));
    EXPECT_EQ(AtomicFile::read(file), "x\n");

    const auto after = statOf(file);
    EXPECT_EQ(after.st_ino, original.st_ino);
    EXPECT_EQ(after.st_mode, original.st_mode);
}

TEST(InPlaceFile, CreatingNeverTakesOverAFileThatIsThere) {
    TempDir dir;
    const auto file = dir / "new.txt";
    ASSERT_TRUE(InPlaceFile::replace(file, std::nullopt, "sample"));
    EXPECT_EQ(AtomicFile::read(file), "sample");
    SystemLogCapture quiet;
    EXPECT_FALSE(InPlaceFile::replace(file, std::nullopt, "other"));
    EXPECT_EQ(AtomicFile::read(file), "sample");
    EXPECT_FALSE(InPlaceFile::replace(dir / "missing.txt", "old", "new"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.txt"));
}

// A write cut short by a full disk (here a file size limit) puts the previous bytes back, and
// a file being created is removed rather than left half written.
TEST(InPlaceFile, FullDiskLeavesThePreviousContentsWhole) {
    TempDir dir;
    const auto file = dir / "priorities.txt";
    const std::string previous = "bob=3\ncarol=4\n";
    std::ofstream(file) << previous;
    const auto fresh = dir / "fresh.txt";

    const int failedChecks = runInChild([&] {
        SystemLogCapture quiet;
        if (!limitFileSize(previous.size() + 4)) {
            return 8;
        }
        int failed = 0;
        failed |=
            InPlaceFile::replace(file, previous, previous + "dave_has_a_long_login=10\n") ? 1 : 0;
        failed |= AtomicFile::read(file) == previous ? 0 : 16;
        failed |= InPlaceFile::replace(fresh, std::nullopt, std::string(4096, '#')) ? 2 : 0;
        // What fits is still written.
        failed |= InPlaceFile::replace(file, previous, "bob=3\n") ? 0 : 4;
        return failed;
    });
    EXPECT_EQ(failedChecks, 0);
    EXPECT_EQ(AtomicFile::read(file), "bob=3\n");
    EXPECT_FALSE(std::filesystem::exists(fresh)) << "a half-written new file was left behind";
}

}  // namespace
}  // namespace quellbox
