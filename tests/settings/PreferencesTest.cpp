#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "platform/AtomicFile.h"
#include "platform/UserDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox {
namespace {

using testing::TempDir;

class PreferencesTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> openStore() {
        auto store = std::make_shared<UserDefaults>(file());
        RegisteredDefaults::registerWith(*store);
        return store;
    }
    std::filesystem::path file() const { return dir_ / "Quellbox/Quellbox.plist"; }
    // The keys the user's file holds.
    std::vector<std::string> keysInFile() const {
        std::vector<std::string> keys;
        const auto parsed = PlistValue::fromXml(AtomicFile::read(file()).value_or(""));
        if (parsed && parsed->isDictionary()) {
            for (const auto& [key, value] : parsed->asDictionary()) {
                keys.push_back(key);
            }
        }
        return keys;
    }

    TempDir dir_;
};

TEST_F(PreferencesTest, TypedGettersOnMissingKeys) {
    Preferences prefs(openStore());
    EXPECT_EQ(prefs.integerForKey("missing"), 0);
    EXPECT_FALSE(prefs.boolForKey("missing"));
    EXPECT_EQ(prefs.floatForKey("missing"), 0.0F);
    EXPECT_FALSE(prefs.stringForKey("missing").has_value());
    EXPECT_FALSE(prefs.objectForKey("missing").has_value());
}

TEST_F(PreferencesTest, ValuesAreStoredAsTheirKindAndReturnedUnchecked) {
    Preferences prefs(openStore());
    prefs.setInteger(-3000, keys::priorityFactor);
    const auto stored = prefs.objectForKey(keys::priorityFactor);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type(), PlistValue::Type::Integer);
    // stringForKey answers the number itself, not a text.
    EXPECT_EQ(prefs.stringForKey(keys::priorityFactor)->type(), PlistValue::Type::Integer);
    prefs.setFloat(12.75F, keys::DATARate);
    EXPECT_FLOAT_EQ(prefs.floatForKey(keys::DATARate), 12.75F);
    EXPECT_EQ(prefs.integerForKey(keys::DATARate), 12);
    prefs.setBool(true, keys::useServerLogFile);
    EXPECT_EQ(prefs.objectForKey(keys::useServerLogFile)->type(), PlistValue::Type::Boolean);
    // A value of another kind converts through its own value.
    prefs.setObject("17", keys::connectionType);
    EXPECT_EQ(prefs.integerForKey(keys::connectionType), 17);
    prefs.removeObjectForKey(keys::connectionType);
    EXPECT_FALSE(prefs.objectForKey(keys::connectionType).has_value());
}

TEST_F(PreferencesTest, FreshInstallationReadsDefaultsAndTheStartTime) {
    const auto before = std::chrono::system_clock::now();
    Preferences prefs(openStore());
    EXPECT_EQ(prefs.integerForKey(keys::priorityFactor), -5000);
    const auto begin = prefs.objectForKey(keys::beginDate);
    ASSERT_TRUE(begin.has_value());
    EXPECT_GE(begin->asDate(), before);
}

TEST_F(PreferencesTest, SaveWritesOnlyChangedValues) {
    {
        Preferences prefs(openStore());
        ASSERT_TRUE(prefs.saveLocalPref());
        EXPECT_FALSE(std::filesystem::exists(file())) << "nothing changed, yet a file was written";
        // Equal to the registered default: not written either.
        prefs.setObject(PlistValue(-5000), keys::priorityFactor);
        prefs.setFloat(20.0F, keys::DATARate);
        ASSERT_TRUE(prefs.saveLocalPref());
        EXPECT_EQ(keysInFile(), std::vector<std::string>{keys::DATARate});
    }
    Preferences reopened(openStore());
    EXPECT_FLOAT_EQ(reopened.floatForKey(keys::DATARate), 20.0F);
    // A key removed from the working copy stays in the store.
    reopened.removeObjectForKey(keys::DATARate);
    reopened.setBool(true, keys::checkForUpdate);
    ASSERT_TRUE(reopened.saveLocalPref());
    EXPECT_EQ(keysInFile(), (std::vector<std::string>{keys::DATARate, keys::checkForUpdate}));
}

TEST_F(PreferencesTest, ChangesWithoutSaveAreNotWritten) {
    {
        Preferences prefs(openStore());
        prefs.setFloat(99.0F, keys::DATARate);
    }
    Preferences reopened(openStore());
    EXPECT_FLOAT_EQ(reopened.floatForKey(keys::DATARate), 42.0F);
}

TEST_F(PreferencesTest, SnapshotAndReplaceTheWorkingCopy) {
    Preferences prefs(openStore());
    const auto snapshot = prefs.dictionaryRepresentation();
    prefs.setFloat(1.0F, keys::DATARate);
    EXPECT_FALSE(snapshot == prefs.dictionaryRepresentation());
    prefs.setLocalDictionary(snapshot);
    EXPECT_TRUE(snapshot == prefs.dictionaryRepresentation());
}

// A save that cannot complete (the disk full, here a file size limit) reports the failure,
// keeps the changes in the working copy and leaves the previous file whole.
TEST_F(PreferencesTest, FullDiskOnSaveKeepsTheOldFileAndTheChanges) {
    {
        Preferences prefs(openStore());
        prefs.setFloat(20.0F, keys::DATARate);
        ASSERT_TRUE(prefs.saveLocalPref());
    }
    const std::string before = AtomicFile::read(file()).value_or("");
    ASSERT_FALSE(before.empty());
    const int failedChecks = testing::runInChild([&] {
        if (!testing::limitFileSize(16)) {
            return 2;
        }
        Preferences prefs(openStore());
        prefs.setObject(PlistValue(std::string(4096, 'x')), keys::logPath);
        const bool saved = prefs.saveLocalPref();
        const bool kept = prefs.stringForKey(keys::logPath)->stringValue().size() == 4096;
        return !saved && kept ? 0 : 1;
    });
    EXPECT_EQ(failedChecks, 0) << "the failed save was reported as a success or lost the change";
    EXPECT_EQ(AtomicFile::read(file()).value_or(""), before);
}

// A settings folder that cannot be written to (checked with the permissions enforced even
// for root) fails the save; the file and the working copy both stay as they were.
TEST_F(PreferencesTest, UnwritableSettingsFolderFailsTheSaveAndLosesNothing) {
    {
        Preferences prefs(openStore());
        prefs.setFloat(20.0F, keys::DATARate);
        ASSERT_TRUE(prefs.saveLocalPref());
    }
    const std::string before = AtomicFile::read(file()).value_or("");
    ASSERT_EQ(::chmod(file().parent_path().c_str(), 0555), 0);
    const int failedChecks = testing::runInChild([&] {
        if (!testing::obeyFilePermissions()) {
            return 2;
        }
        Preferences prefs(openStore());
        prefs.setFloat(30.0F, keys::DATARate);
        const bool saved = prefs.saveLocalPref();
        return !saved && prefs.floatForKey(keys::DATARate) == 30.0F ? 0 : 1;
    });
    ASSERT_EQ(::chmod(file().parent_path().c_str(), 0755), 0);
    EXPECT_EQ(failedChecks, 0) << "the failed save was reported as a success or lost the change";
    EXPECT_EQ(AtomicFile::read(file()).value_or(""), before);
    Preferences reopened(openStore());
    EXPECT_EQ(reopened.floatForKey(keys::DATARate), 20.0F);
}

TEST_F(PreferencesTest, ConcurrentReadersWritersAndSaves) {
    Preferences prefs(openStore());
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&prefs, t] {
            for (int i = 0; i < 300; ++i) {
                prefs.setInteger(t * 1000 + i, keys::logCursor);
                prefs.setObject(PlistValue(PlistValue::Array{i, t}), keys::servicesPortArray);
                const auto cursor = prefs.integerForKey(keys::logCursor);
                ASSERT_GE(cursor, 0);
                const auto ports = prefs.arrayForKey(keys::servicesPortArray);
                ASSERT_TRUE(ports.has_value());
                ASSERT_EQ(ports->asArray().size(), 2U);
                (void)prefs.dictionaryRepresentation();
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(prefs.saveLocalPref());
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(prefs.saveLocalPref());
    UserDefaults reread(file());
    EXPECT_EQ(reread.objectForKey(keys::logCursor), prefs.objectForKey(keys::logCursor));
}

}  // namespace
}  // namespace quellbox
