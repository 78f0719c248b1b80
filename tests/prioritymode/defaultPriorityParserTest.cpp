#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "ChildProcess.h"
#include "TestSettings.h"
#include "platform/AtomicFile.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"

namespace quellbox {
namespace {

class DefaultPrioritiesTest : public ::testing::Test {
protected:
    DefaultPrioritiesTest() {
        std::ofstream(settings_.logPath()) << "";
        settings_.prefs.setObject(PlistValue(settings_.logPath().string()), keys::logPath);
    }
    void writeFile(const std::string& bytes) {
        std::ofstream out(settings_.priorityFile(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string fileText() const {
        return AtomicFile::read(settings_.priorityFile()).value_or("<missing>");
    }
    std::unique_ptr<defaultPriorityParser> parserOver(const std::string& bytes) {
        writeFile(bytes);
        return std::make_unique<defaultPriorityParser>(settings_.prefs, center_);
    }

    testing::TestSettings settings_;
    NotificationCenter center_;
};

TEST_F(DefaultPrioritiesTest, MissingFileGetsTheSampleInMacOsRoman) {
    defaultPriorityParser parser(settings_.prefs, center_);
    const std::string text = fileText();
    EXPECT_EQ(text.rfind("# Use '#' to make the line a comment\n#\n", 0), 0U) << text;
    EXPECT_NE(text.find("\n#\t login=priority  (0 \xB2 priority \xB2 10)\n"), std::string::npos);
    // Written as the sample, then given its final line feed when read back.
    EXPECT_EQ(text.substr(text.size() - 29), "#\nqim=10\nzabut=10\ntrelvon=10\n");
    EXPECT_EQ(parser.keyArray(), (std::vector<std::string>{"qim", "trelvon", "zabut"}));
    EXPECT_EQ(parser.defaultPriorityForLogin("zabut"), 10);
}

TEST_F(DefaultPrioritiesTest, TextMatchingOfLines) {
    auto parser = parserOver(
        "bob=3\nbob=7\nalice = 4\ncarol=15\ndave=4=9\n#eve=10\n #eve=10\nno equals "
        "sign\n\nZed=x\n");
    // One row per login, the last line winning; sorted ignoring case.
    EXPECT_EQ(parser->keyArray(),
              (std::vector<std::string>{" #eve", "alice ", "bob", "carol", "dave", "Zed"}));
    EXPECT_EQ(parser->defaultPriorityForLogin("bob"), 7);
    EXPECT_EQ(parser->defaultPriorityForLogin("alice "), 4);
    EXPECT_FALSE(parser->containsEntryWithLogin("alice"));
    EXPECT_EQ(parser->defaultPriorityForLogin("carol"), 5);  // out of range
    // The window's cells: the third row is bob's; none outside the rows or the two columns.
    EXPECT_EQ(parser->objectValueForTableColumn("login", 2), PlistValue("bob"));
    EXPECT_EQ(parser->objectValueForTableColumn("priority", 2), PlistValue(7));
    for (const auto& [column, row] : {std::pair{"other", 0}, {"login", 6}, {"login", -1}}) {
        EXPECT_FALSE(parser->objectValueForTableColumn(column, row).has_value()) << row;
    }
    EXPECT_EQ(parser->defaultPriorityForLogin("dave"), 4);
    EXPECT_FALSE(parser->containsEntryWithLogin("#eve"));
    EXPECT_EQ(parser->defaultPriorityForLogin(" #eve"), 10);
    EXPECT_EQ(parser->defaultPriorityForLogin("Zed"), 0);  // no leading number
    EXPECT_EQ(parser->defaultPriorityForLogin("nobody"), 5);
    EXPECT_FALSE(parser->containsEntryWithLogin("nobody"));
    // A file that already ends with a line feed is left as it was.
    EXPECT_EQ(fileText().back(), '\n');
}

TEST_F(DefaultPrioritiesTest, AddingLines) {
    auto parser = parserOver("bob=3\n");
    EXPECT_TRUE(parser->addEntry(12, "newLogin"));  // out of range: 5
    EXPECT_EQ(fileText(), "bob=3\nnewLogin=5\n");
    EXPECT_EQ(parser->defaultPriorityForLogin("newLogin"), 5);
    EXPECT_EQ(parser->keyArray(), (std::vector<std::string>{"bob", "newLogin"}));

    EXPECT_FALSE(parser->addEntry(8, "bob"));  // listed already
    // Logins that cannot be one line of the file.
    for (const std::string login : {"a=b", "two\nlines", "#comment", "\u4E2D"}) {
        EXPECT_FALSE(parser->addEntry(5, login)) << login;
    }
    EXPECT_EQ(fileText(), "bob=3\nnewLogin=5\n");
    EXPECT_EQ(parser->defaultPriorityForLogin("bob"), 3);
    EXPECT_EQ(parser->numberOfRowsInTableView(), 2);

    EXPECT_TRUE(parser->addEntry(0, "Andr\u00E9"));
    EXPECT_EQ(fileText(), "bob=3\nnewLogin=5\nAndr\x8E=0\n");  // Mac OS Roman in the file
    EXPECT_EQ(parser->keyArray().front(), "Andr\u00E9");
    // Edited by hand since it was read, without a final line feed: never joined.
    writeFile("bob=3\nqim=10");
    EXPECT_TRUE(parser->addEntry(4, "carol"));
    EXPECT_EQ(fileText(), "bob=3\nqim=10\ncarol=4\n");
    parser->parseQbxPrioFile();  // shows the edit
    EXPECT_EQ(parser->defaultPriorityForLogin("qim"), 10);
    EXPECT_EQ(parser->numberOfRowsInTableView(), 3);
}

TEST_F(DefaultPrioritiesTest, RemovingMatchesWholeLinesAsText) {
    auto parser = parserOver("frank=3\nxfrank=3\nfrank=3");
    writeFile("frank=3\nxfrank=3\nfrank=3");  // the last line without a line feed counts too
    EXPECT_TRUE(parser->removeEntry(3, "frank"));
    EXPECT_EQ(fileText(), "xfrank=3\n");
    EXPECT_FALSE(parser->containsEntryWithLogin("frank"));
    EXPECT_EQ(parser->keyArray(), std::vector<std::string>{"xfrank"});

    auto leading = parserOver("bob=07\n");
    EXPECT_FALSE(leading->removeEntry(7, "bob"));  // "bob=07" is not "bob=7"
    EXPECT_EQ(fileText(), "bob=07\n");
    EXPECT_TRUE(leading->containsEntryWithLogin("bob"));
    // Nor does an edit of its priority lose the line.
    leading->setObjectValue(PlistValue("9"), "priority", 0);
    EXPECT_EQ(fileText(), "bob=07\n");
}

TEST_F(DefaultPrioritiesTest, EditingCells) {
    auto parser = parserOver("alice=2\nbob=3\n");
    int reloads = 0;
    parser->setObjectValue(PlistValue("8"), "priority", 1, [&] { ++reloads; });
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(fileText(), "alice=2\nbob=8\n");
    EXPECT_EQ(parser->defaultPriorityForLogin("bob"), 8);

    // Renaming to a listed login is refused before anything is removed; so are a login that
    // cannot be written, a column that is not known and a row outside the table.
    parser->setObjectValue(PlistValue("bob"), "login", 0, [&] { ++reloads; });
    parser->setObjectValue(PlistValue("x=y"), "login", 0);
    parser->setObjectValue(PlistValue("9"), "other", 0);
    parser->setObjectValue(PlistValue("9"), "priority", 2);
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(fileText(), "alice=2\nbob=8\n");
    EXPECT_EQ(parser->defaultPriorityForLogin("alice"), 2);

    parser->setObjectValue(PlistValue("carol"), "login", 0);
    EXPECT_EQ(fileText(), "bob=8\ncarol=2\n");
    EXPECT_EQ(parser->keyArray(), (std::vector<std::string>{"bob", "carol"}));
    EXPECT_EQ(parser->defaultPriorityForLogin("carol"), 2);
}

TEST_F(DefaultPrioritiesTest, WithoutALogPathNothingIsTouched) {
    settings_.prefs.setObject(PlistValue(""), keys::logPath);
    defaultPriorityParser parser(settings_.prefs, center_);
    EXPECT_EQ(parser.numberOfRowsInTableView(), 0);
    EXPECT_FALSE(parser.addEntry(5, "bob"));
    EXPECT_FALSE(parser.removeEntry(5, "bob"));
    EXPECT_EQ(parser.defaultPriorityForLogin("qim"), 5);
    EXPECT_FALSE(std::filesystem::exists(settings_.priorityFile()));
}

TEST_F(DefaultPrioritiesTest, FailingToWriteTheSampleIsReported) {
    // Beside a file of /proc no file can be made, not even by root.
    const std::string procFile = "/proc/version";
    const std::string priorityFile = "/proc/Quellbox Default Priorities.txt";
    settings_.prefs.setObject(PlistValue(procFile), keys::logPath);
    std::vector<Notification> posted;
    center_.addObserver("genericIpfwProblemNotification",
                        [&](const Notification& n) { posted.push_back(n); });
    SystemLogCapture quiet;
    defaultPriorityParser parser(settings_.prefs, center_);
    EXPECT_EQ(parser.numberOfRowsInTableView(), 0);
    ASSERT_EQ(posted.size(), 1U);
    EXPECT_EQ(posted[0].object, &parser);
    EXPECT_EQ(posted[0].userInfo.at("title"),
              PlistValue("Error when writing file at path : " + priorityFile));
    EXPECT_EQ(posted[0].userInfo.at("msg"),
              PlistValue("Please check this file exists and is writable"));
    EXPECT_EQ(posted[0].userInfo.at("needToQuitAfterAlert"), PlistValue(false));
}

// The permission checks below hold for root too: the children give up the capabilities
// that override file permissions. Each child answers 0, or what failed.
TEST_F(DefaultPrioritiesTest, AnUnreadableFileIsNotReplacedByTheSample) {
    writeFile("bob=3\n");
    ASSERT_EQ(::chmod(settings_.priorityFile().c_str(), 0200), 0);
    const int failedChecks = testing::runInChild([&] {
        if (!testing::obeyFilePermissions()) {
            return 64;
        }
        SystemLogCapture quiet;
        return defaultPriorityParser(settings_.prefs, center_).numberOfRowsInTableView();  // 0
    });
    ::chmod(settings_.priorityFile().c_str(), 0644);
    EXPECT_EQ(failedChecks, 0);
    EXPECT_EQ(fileText(), "bob=3\n");
}

TEST_F(DefaultPrioritiesTest, AFileThatCannotBeWrittenRefusesEveryEditAndLosesNothing) {
    const std::string original = "bob=3\ncarol=4";  // its final line feed cannot be added
    writeFile(original);
    ASSERT_EQ(::chmod(settings_.priorityFile().c_str(), 0444), 0);
    const int failedChecks = testing::runInChild([&] {
        if (!testing::obeyFilePermissions()) {
            return 64;
        }
        SystemLogCapture quiet;
        defaultPriorityParser parser(settings_.prefs, center_);
        int failed = parser.numberOfRowsInTableView() == 2 ? 0 : 2;
        failed |= parser.addEntry(7, "dave") ? 4 : 0;
        failed |= parser.removeEntry(3, "bob") ? 8 : 0;
        parser.setObjectValue(PlistValue("9"), "priority", 0);
        const bool tableKept = parser.keyArray() == std::vector<std::string>{"bob", "carol"} &&
                               parser.defaultPriorityForLogin("bob") == 3;
        return failed | (tableKept ? 0 : 32);
    });
    ::chmod(settings_.priorityFile().c_str(), 0644);
    EXPECT_EQ(failedChecks, 0);
    EXPECT_EQ(fileText(), original);
}

// A disk that fills up during an edit: the addition fails after the old line was removed, and
// the line is put back rather than lost; a plain addition leaves the file as it was.
TEST_F(DefaultPrioritiesTest, AFullDiskDuringAnEditPutsTheOldLineBack) {
    const std::string original = "bob=3\ncarol=4\n";
    auto parser = parserOver(original);
    int reloads = 0;
    const int failedChecks = testing::runInChild([&] {
        SystemLogCapture quiet;
        if (!testing::limitFileSize(original.size() + 2)) {
            return 64;
        }
        int failed = parser->addEntry(7, "someone_with_a_long_login") ? 1 : 0;
        failed |= fileText() == original ? 0 : 2;
        parser->setObjectValue(PlistValue("someone_with_a_long_login"), "login", 0,
                               [&] { ++reloads; });
        failed |= fileText() == original ? 0 : 4;
        failed |= parser->keyArray() == std::vector<std::string>{"bob", "carol"} ? 0 : 8;
        failed |= parser->defaultPriorityForLogin("bob") == 3 ? 0 : 16;
        return failed | (reloads == 2 ? 0 : 32);
    });
    EXPECT_EQ(failedChecks, 0);
    EXPECT_EQ(fileText(), original);
}

TEST(DefaultPrioritiesShared, OneInstanceWhenThreadsAskAtOnce) {
    // Keep the shared settings away from the user's own file.
    static testing::TempDir dir;
    auto store = std::make_shared<UserDefaults>(dir / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store);
    Preferences::configureShared(store);
    std::vector<defaultPriorityParser*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back(
            [&seen, i] { seen[i] = defaultPriorityParser::sharedInstance().get(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_NE(seen[0], nullptr);
    for (auto* instance : seen) {
        EXPECT_EQ(instance, seen[0]);
    }
}

}  // namespace
}  // namespace quellbox
