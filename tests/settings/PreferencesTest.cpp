#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
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

class PreferencesTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> openStore() {
        auto store = std::make_shared<UserDefaults>(file());
        RegisteredDefaults::registerWith(*store);
        return store;
    }
    std::filesystem::path file() const { return dir_ / "Quellbox/Quellbox.plist"; }
    std::vector<std::string> keysInFile() const {
        std::vector<std::string> keys;
        for (const auto& [key, value] : UserDefaults(file()).dictionaryRepresentation()) {
            keys.push_back(key);
        }
        return keys;
    }
    // After a saved DATARate of 20, a child under `restrict` changes it and saves: the save
    // must fail, the change stay in the working copy and the file be left as it was.
    void expectFailedSaveLosesNothing(const std::function<bool()>& restrict) {
        {
            Preferences prefs(openStore());
            prefs.setFloat(20.0F, keys::DATARate);
            ASSERT_TRUE(prefs.saveLocalPref());
        }
        const std::string before = AtomicFile::read(file()).value_or("");
        ASSERT_FALSE(before.empty());
        const int failedChecks = testing::runInChild([&] {
            if (!restrict()) {
                return 2;
            }
            Preferences prefs(openStore());
            prefs.setFloat(30.0F, keys::DATARate);
            prefs.setObject(PlistValue(std::string(4096, 'x')), keys::logPath);
            const bool saved = prefs.saveLocalPref();
            return !saved && prefs.floatForKey(keys::DATARate) == 30.0F ? 0 : 1;
        });
        EXPECT_EQ(failedChecks, 0)
            << "the failed save was reported as a success or lost the change";
        EXPECT_EQ(AtomicFile::read(file()).value_or(""), before);
    }

    testing::TempDir dir_;
};

TEST_F(PreferencesTest, SaveWritesOnlyChangedValuesAndNothingUnsaved) {
    {
        Preferences prefs(openStore());
        // The log reader's 48-hour rule counts from this start, registered as now.
        const auto begin = prefs.objectForKey(keys::beginDate);
        ASSERT_TRUE(begin && begin->type() == PlistValue::Type::Date);
        EXPECT_LT(std::chrono::system_clock::now() - begin->asDate(), std::chrono::minutes(1));
        ASSERT_TRUE(prefs.saveLocalPref());
        EXPECT_FALSE(std::filesystem::exists(file())) << "nothing changed, yet a file was written";
        // Equal to the registered default: not written either.
        prefs.setObject(PlistValue(-5000), keys::priorityFactor);
        prefs.setFloat(20.0F, keys::DATARate);
        ASSERT_TRUE(prefs.saveLocalPref());
        EXPECT_EQ(keysInFile(), std::vector<std::string>{keys::DATARate});
        prefs.setFloat(99.0F, keys::DATARate);
    }
    Preferences reopened(openStore());
    EXPECT_FLOAT_EQ(reopened.floatForKey(keys::DATARate), 20.0F);
    // A key removed from the working copy stays in the store.
    reopened.removeObjectForKey(keys::DATARate);
    reopened.setBool(true, keys::checkForUpdate);
    ASSERT_TRUE(reopened.saveLocalPref());
    EXPECT_EQ(keysInFile(), (std::vector<std::string>{keys::DATARate, keys::checkForUpdate}));
}

TEST_F(PreferencesTest, SnapshotAndReplaceTheWorkingCopy) {
    Preferences prefs(openStore());
    const auto snapshot = prefs.dictionaryRepresentation();
    prefs.setFloat(1.0F, keys::DATARate);
    EXPECT_FALSE(snapshot == prefs.dictionaryRepresentation());
    prefs.setLocalDictionary(snapshot);
    EXPECT_TRUE(snapshot == prefs.dictionaryRepresentation());
}

// A full disk (here a file size limit), then a settings folder that cannot be written to
// (with the permissions enforced even for root).
TEST_F(PreferencesTest, FailedSavesKeepTheOldFileAndTheChanges) {
    expectFailedSaveLosesNothing([] { return testing::limitFileSize(16); });
    const auto folder = file().parent_path();
    expectFailedSaveLosesNothing(
        [&] { return ::chmod(folder.c_str(), 0555) == 0 && testing::obeyFilePermissions(); });
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    EXPECT_EQ(Preferences(openStore()).floatForKey(keys::DATARate), 20.0F);
}

TEST_F(PreferencesTest, ConcurrentReadersWritersAndSaves) {
    Preferences prefs(openStore());
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&prefs, t] {
            for (int i = 0; i < 300; ++i) {
                prefs.setInteger(t * 1000 + i, keys::logCursor);
                prefs.setObject(PlistValue(PlistValue::Array{i, t}), keys::servicesPortArray);
                ASSERT_GE(prefs.integerForKey(keys::logCursor), 0);
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
