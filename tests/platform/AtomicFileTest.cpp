#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "TempDir.h"
#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::limitFileSize;
using testing::TempDir;

TEST(AtomicFile, WritesCreatesFoldersAndReplacesWhole) {
    TempDir dir;
    const auto file = dir / "nested/folder/file.plist";
    ASSERT_TRUE(AtomicFile::write(file, "first version, rather long"));
    ASSERT_TRUE(AtomicFile::write(file, "second"));
    EXPECT_EQ(AtomicFile::read(file).value_or(""), "second");
    // No temporary file is left beside the target.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(file.parent_path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_FALSE(AtomicFile::read(dir / "missing").has_value());
}

TEST(AtomicFile, NewFilesArePrivateAndReplacementsKeepTheirMode) {
    TempDir dir;
    const auto file = dir / "settings.plist";
    ASSERT_TRUE(AtomicFile::write(file, "a"));
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(AtomicFile::write(file, "b"));
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644U);
}

// A write cut short (here by a file size limit, as a full disk would) leaves the old file
// exactly as it was and reports the failure.
TEST(AtomicFile, InterruptedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    const auto file = dir / "settings.plist";
    const std::string original = "the old settings, whole";
    ASSERT_TRUE(AtomicFile::write(file, original));

    const int failedChecks = testing::runInChild([&] {
        SystemLogCapture quiet;
        return limitFileSize(8) && !AtomicFile::write(file, std::string(4096, 'x')) ? 0 : 1;
    });
    EXPECT_EQ(failedChecks, 0) << "the cut-short write was reported as a success";
    EXPECT_EQ(AtomicFile::read(file).value_or(""), original);
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "the temporary file was left behind";
}

}  // namespace
}  // namespace quellbox
