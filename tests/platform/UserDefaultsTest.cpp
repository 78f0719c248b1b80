#include <gtest/gtest.h>

#include <cstdlib>

#include "ChildProcess.h"
#include "TempDir.h"
#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

namespace quellbox {
namespace {

using testing::TempDir;

TEST(UserDefaults, UserValuesOverlayRegisteredDefaultsAndPersist) {
    TempDir dir;
    const auto file = dir / "Quellbox/Quellbox.plist";
    {
        UserDefaults store(file);
        store.registerDefaults({{"DATARate", 42.0}, {"logPath", ""}});
        EXPECT_EQ(store.objectForKey("DATARate"), PlistValue(42.0));
        EXPECT_FALSE(store.objectForKey("missing").has_value());
        store.setObject("DATARate", 10.5);
        EXPECT_EQ(store.dictionaryRepresentation().at("DATARate"), PlistValue(10.5));
        EXPECT_EQ(store.dictionaryRepresentation().at("logPath"), PlistValue(""));
        ASSERT_TRUE(store.synchronize());
    }
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.objectForKey("DATARate"), PlistValue(10.5));
    // Only the user's own values are in the file, not the registered defaults.
    EXPECT_FALSE(reopened.objectForKey("logPath").has_value());
    EXPECT_FALSE(reopened.loadProblem().has_value());
}

// A file that is no property list, or a property list that is no dictionary.
TEST(UserDefaults, DamagedFileIsKeptAsideAndReported) {
    for (const std::string& damaged :
         {std::string("<?xml version=\"1.0\"?><plist><dict><key>DATARate"),
          PlistValue(PlistValue::Array{1, 2}).toXml()}) {
        TempDir dir;
        const auto file = dir / "Quellbox.plist";
        ASSERT_TRUE(AtomicFile::write(file, damaged));
        SystemLogCapture capture;
        UserDefaults store(file);
        ASSERT_TRUE(store.loadProblem().has_value()) << damaged;
        EXPECT_EQ(capture.lines().size(), 1U);
        EXPECT_FALSE(std::filesystem::exists(file));
        std::filesystem::path aside;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().starts_with("Quellbox.plist.damaged-")) {
                aside = entry.path();
            }
        }
        ASSERT_FALSE(aside.empty());
        EXPECT_EQ(AtomicFile::read(aside).value_or(""), damaged);
        EXPECT_NE(store.loadProblem()->find(aside.string()), std::string::npos);
        // Saving afterwards writes a fresh file and leaves the damaged copy alone.
        store.setObject("DATARate", 1.0);
        ASSERT_TRUE(store.synchronize());
        EXPECT_EQ(AtomicFile::read(aside).value_or(""), damaged);
        EXPECT_EQ(UserDefaults(file).objectForKey("DATARate"), PlistValue(1.0));
    }
}

TEST(UserDefaults, SynchronizeWithoutChangesWritesNoFile) {
    TempDir dir;
    UserDefaults store(dir / "Quellbox.plist");
    store.registerDefaults({{"a", 1}});
    EXPECT_TRUE(store.synchronize());
    EXPECT_FALSE(std::filesystem::exists(dir / "Quellbox.plist"));
}

// In a child, so that the test process keeps its own environment.
TEST(UserDefaults, DefaultPathFollowsXdgConfigHome) {
    EXPECT_EQ(testing::runInChild([] {
                  setenv("XDG_CONFIG_HOME", "/tmp/quellbox-xdg", 1);
                  const bool absolute =
                      UserDefaults::defaultPath() == "/tmp/quellbox-xdg/Quellbox/Quellbox.plist";
                  setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
                  setenv("HOME", "/home/someone", 1);
                  const bool relative = UserDefaults::defaultPath() ==
                                        "/home/someone/.config/Quellbox/Quellbox.plist";
                  // A service started without HOME keeps its settings in its folder.
                  unsetenv("HOME");
                  const bool homeless = UserDefaults::defaultPath() ==
                                        std::filesystem::current_path() / "Quellbox/Quellbox.plist";
                  return (absolute ? 0 : 1) | (relative ? 0 : 2) | (homeless ? 0 : 4);
              }),
              0)
        << "1: XDG_CONFIG_HOME not followed, 2: a relative one not ignored, 4: no HOME";
}

}  // namespace
}  // namespace quellbox
