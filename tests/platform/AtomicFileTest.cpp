#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>

#include "ChildProcess.h"
#include "TempDir.h"
#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"

namespace quellbox {
namespace {

using testing::TempDir;

long entriesIn(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

mode_t modeOf(const std::filesystem::path& file) {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0);
    return info.st_mode & 0777;
}

// A new file (in folders made for it) is private; a replacement is whole, keeps the mode the
// user gave the file, and leaves no temporary file beside it.
TEST(AtomicFile, WritesPrivateFilesAndReplacesThemWhole) {
    TempDir dir;
    const auto file = dir / "nested/folder/file.plist";
    ASSERT_TRUE(AtomicFile::write(file, "first version, rather long"));
    EXPECT_EQ(modeOf(file), 0600U);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(AtomicFile::write(file, "second"));
    EXPECT_EQ(AtomicFile::read(file).value_or(""), "second");
    EXPECT_EQ(modeOf(file), 0644U);
    EXPECT_EQ(entriesIn(file.parent_path()), 1);
    EXPECT_FALSE(AtomicFile::read(dir / "missing").has_value());
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
        return testing::limitFileSize(8) && !AtomicFile::write(file, std::string(4096, 'x')) ? 0
                                                                                             : 1;
    });
    EXPECT_EQ(failedChecks, 0) << "the cut-short write was reported as a success";
    EXPECT_EQ(AtomicFile::read(file).value_or(""), original);
    EXPECT_EQ(entriesIn(dir.path()), 1) << "the temporary file was left behind";
}

}  // namespace
}  // namespace quellbox
