#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "TestSettings.h"
#include "platform/SystemLog.h"
#include "prioritymode/LogParser.h"
#include "settings/PreferenceKeys.h"

namespace quellbox {
namespace {

using testing::secondsAgo;

std::string logLine(const std::string& ip, const std::string& login, const std::string& nick,
                    const std::string& file = "file.zip",
                    const std::string& date = "2004/05/12 14:03") {
    return date + "\t" + ip + "\t" + login + "\t" + nick + "\t" + file + "\r";
}

class LogParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings_.prefs.setObject(PlistValue(logPath()), keys::logPath);
        settings_.prefs.setBool(true, keys::useServerLogFile);
    }
    std::string logPath() const { return settings_.logPath().string(); }
    void append(const std::string& bytes) {
        std::ofstream out(logPath(), std::ios::binary | std::ios::app);
        out << bytes;
    }
    std::int64_t fileSize() const {
        return static_cast<std::int64_t>(std::filesystem::file_size(logPath()));
    }
    std::int64_t logCursor() const { return settings_.prefs.integerForKey(keys::logCursor); }

    testing::TestSettings settings_;
};

TEST_F(LogParserTest, ReadsTheLinesAndMovesTheCursorToTheEnd) {
    append(logLine("10.0.0.1", "alice", "Alice") + logLine("10.0.0.2", "bob", "Bobby") +
           logLine("10.0.0.1", "ren\x8E", "Ren\x8E \xA5"));
    LogParser parser(settings_.prefs);  // reads from "cursorBegin" (0) at once
    EXPECT_EQ(parser.recordCount(), 2U);
    EXPECT_EQ(logCursor(), fileSize());
    // A later line of an address replaces the earlier one; names are read as Mac OS Roman.
    EXPECT_EQ(parser.findLoginFromIPString("10.0.0.1"), "ren\u00E9");
    EXPECT_EQ(parser.findScreenNameFromIPString("10.0.0.1"), "Ren\u00E9 \u2022");
    EXPECT_EQ(parser.findDateFromIPstring("10.0.0.2"), "2004/05/12 14:03");
    EXPECT_EQ(parser.findWhatHeDlFromIPstring("10.0.0.2"), "file.zip");
    // The address is matched as text exactly; an unknown one answers nothing.
    EXPECT_FALSE(parser.ipIsInLogParserStructure("010.0.0.1"));
    EXPECT_FALSE(parser.findLoginFromIPString("10.9.9.9").has_value());
    EXPECT_FALSE(parser.findScreenNameFromIPString("10.9.9.9").has_value());
    EXPECT_FALSE(parser.findDateFromIPstring("10.9.9.9").has_value());
    EXPECT_FALSE(parser.findWhatHeDlFromIPstring("10.9.9.9").has_value());
}

TEST_F(LogParserTest, LookupsCatchUpIncrementally) {
    append(logLine("10.0.0.1", "alice", "Alice"));
    LogParser parser(settings_.prefs);
    const std::int64_t afterFirst = logCursor();
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.1"));
    EXPECT_EQ(logCursor(), afterFirst);
    // Nothing new: nothing read.
    EXPECT_FALSE(parser.readLog(logPath(), logCursor()));

    append(logLine("10.0.0.1", "alice", "Queen Alice") + logLine("10.0.0.3", "carol", "Carol"));
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.3"));
    EXPECT_EQ(parser.findScreenNameFromIPString("10.0.0.1"), "Queen Alice");
    EXPECT_EQ(logCursor(), fileSize());

    // Not read while the log is switched off.
    settings_.prefs.setBool(false, keys::useServerLogFile);
    append(logLine("10.0.0.4", "dave", "Dave"));
    EXPECT_FALSE(parser.ipIsInLogParserStructure("10.0.0.4"));
    EXPECT_EQ(LogParser(settings_.prefs).recordCount(), 0U) << "nor read at creation";
    settings_.prefs.setBool(true, keys::useServerLogFile);
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.4"));
}

TEST_F(LogParserTest, MalformedAndUnfinishedLinesAreNoRecords) {
    append(
        "d\t10.0.0.1\tlogin\tnick\tpart\tof name\r"  // a tab inside the file name
        "d\t10.0.0.3\tlogin\tnick\r"
        "\r" +
        logLine("10.0.0.5", "alice", "Alice") + "d\t10.0.0.2\tbo");
    LogParser parser(settings_.prefs);
    EXPECT_EQ(parser.recordCount(), 1U);
    EXPECT_FALSE(parser.ipIsInLogParserStructure("10.0.0.1"));
    EXPECT_FALSE(parser.ipIsInLogParserStructure("10.0.0.3"));
    EXPECT_FALSE(parser.ipIsInLogParserStructure("10.0.0.2"));
    EXPECT_EQ(logCursor(), fileSize());
    // The unfinished line's remainder starts the next reading and is skipped too.
    append("b\tBob\tfile\r" + logLine("10.0.0.6", "carol", "Carol"));
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.6"));
    EXPECT_FALSE(parser.ipIsInLogParserStructure("10.0.0.2"));
    // With five fields already, it is stored with its last field cut short.
    append("d\t10.0.0.4\tdave\tDave\tlong_na");
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.4"));
    EXPECT_EQ(parser.findWhatHeDlFromIPstring("10.0.0.4"), "long_na");
}

TEST_F(LogParserTest, CreationReadsFromCursorBeginAndRewindGoesBackThere) {
    const std::string first = logLine("10.0.0.1", "alice", "Alice");
    append(first + logLine("10.0.0.2", "bob", "Bob"));
    settings_.prefs.setObject(PlistValue(static_cast<std::int64_t>(first.size())),
                              keys::cursorBegin);
    LogParser parser(settings_.prefs);
    EXPECT_EQ(parser.recordCount(), 1U);
    EXPECT_TRUE(parser.findLoginFromIPString("10.0.0.2").has_value());
    settings_.prefs.setObject(PlistValue(static_cast<std::int64_t>(3)), keys::cursorBegin);
    parser.rewindToBeginning();
    EXPECT_EQ(logCursor(), 3);
}

TEST_F(LogParserTest, FortyEightHourRuleMovesCursorBegin) {
    append(logLine("10.0.0.1", "alice", "Alice"));
    LogParser parser(settings_.prefs);
    settings_.prefs.setObject(PlistValue(secondsAgo(3 * 86400)), keys::beginDate);
    SystemLogCapture quiet;
    const auto before = std::chrono::system_clock::now();
    EXPECT_FALSE(parser.readLog(logPath(), 5000));  // beyond the end: nothing read
    EXPECT_EQ(settings_.prefs.integerForKey(keys::cursorBegin), 5000);
    EXPECT_GE(settings_.prefs.objectForKey(keys::beginDate)->asDate(), before);
    EXPECT_EQ(parser.recordCount(), 1U) << "the records stay";
    // Less than 48 hours: nothing moves.
    settings_.prefs.setObject(PlistValue(secondsAgo(47 * 3600)), keys::beginDate);
    parser.readLog(logPath(), 7000);
    EXPECT_EQ(settings_.prefs.integerForKey(keys::cursorBegin), 5000);
}

TEST_F(LogParserTest, OverlongLineIsSkippedWithoutLosingTheNextOnes) {
    const auto lineOf = [](const std::string& ip, std::size_t bytes) {
        const std::string head = "d\t" + ip + "\tlogin\tnick\t";
        return head + std::string(bytes - head.size(), 'x') + "\r";
    };
    append(lineOf("10.0.0.1", LogParser::maxLineBytes + 1) +
           lineOf("10.0.0.3", LogParser::maxLineBytes) + logLine("10.0.0.2", "bob", "Bob"));
    LogParser parser(settings_.prefs, 64 * 1024);
    EXPECT_FALSE(parser.ipIsInLogParserStructure("10.0.0.1"));
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.3")) << "the longest line kept";
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.2"));
    EXPECT_EQ(logCursor(), fileSize());
}

// Every field of every address the log names, to compare two readers.
std::vector<std::array<std::optional<std::string>, 4>> allRecords(const LogParser& parser,
                                                                  int addresses) {
    std::vector<std::array<std::optional<std::string>, 4>> records;
    for (int i = 0; i < addresses; ++i) {
        const std::string ip = "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        records.push_back({parser.findLoginFromIPString(ip), parser.findScreenNameFromIPString(ip),
                           parser.findDateFromIPstring(ip), parser.findWhatHeDlFromIPstring(ip)});
    }
    return records;
}

TEST_F(LogParserTest, ChunkedReadingEqualsOneReading) {
    // About 60 KB of lines, some malformed, with names outside ASCII.
    constexpr int addresses = 500;
    std::mt19937 random(42);
    std::string log;
    for (int line = 0; log.size() < 60'000; ++line) {
        const int address = static_cast<int>(random() % addresses);
        const std::string ip =
            "10.1." + std::to_string(address / 256) + "." + std::to_string(address % 256);
        const auto kind = random() % 10;
        log += kind == 0 ? "d\t" + ip + "\tfour\tfields\r"
               : kind == 1
                   ? "d\t" + ip + "\tsix\tfields\ta\tb\r"
                   : logLine(ip, "login" + std::to_string(line), "Nick \x8E" + std::to_string(line),
                             "dir/file" + std::to_string(line) + ".sit",
                             "2004/05/" + std::to_string(line % 28));
    }
    log += "d\t10.1.0.1\tcut\tshort\tfi";  // still being written
    append(log);

    LogParser whole(settings_.prefs, log.size() * 2);
    EXPECT_EQ(logCursor(), static_cast<std::int64_t>(log.size()));
    const auto expected = allRecords(whole, addresses);
    // Pieces that cut every line somewhere, and pieces of a few lines each.
    for (const std::size_t chunk : {1UL, 7UL, 33UL, 4096UL, 16411UL}) {
        SCOPED_TRACE(chunk);
        settings_.prefs.setObject(PlistValue(static_cast<std::int64_t>(0)), keys::logCursor);
        LogParser pieces(settings_.prefs, chunk);
        EXPECT_EQ(logCursor(), static_cast<std::int64_t>(log.size()));
        EXPECT_EQ(pieces.recordCount(), whole.recordCount());
        EXPECT_EQ(allRecords(pieces, addresses), expected);
    }
}

TEST_F(LogParserTest, PositionsBeyondTwoGibibytes) {
    // A sparse log: 3 GiB of hole, then lines. Only the tail is ever read.
    constexpr std::int64_t hole = 3LL << 30;
    {
        const int fd = ::open(logPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, hole), 0);
        ::close(fd);
    }
    struct stat attributes {};
    ASSERT_EQ(::stat(logPath().c_str(), &attributes), 0);
    if (attributes.st_blocks * 512 > (1 << 20)) {
        GTEST_SKIP() << "the file system does not keep sparse files";
    }
    const std::string tail =
        logLine("10.0.0.1", "alice", "Alice") + logLine("10.0.0.2", "bob", "Bob");
    append(tail);
    settings_.prefs.setObject(PlistValue(hole), keys::cursorBegin);
    LogParser parser(settings_.prefs);
    EXPECT_EQ(parser.recordCount(), 2U);
    EXPECT_EQ(logCursor(), hole + static_cast<std::int64_t>(tail.size()));
    EXPECT_EQ(settings_.prefs.objectForKey(keys::logCursor)->type(), PlistValue::Type::Integer);

    append(logLine("10.0.0.3", "carol", "Carol"));
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.3"));
    EXPECT_EQ(logCursor(), fileSize());
    EXPECT_GT(logCursor(), hole);
}

// The server's log is missing at the start, then truncated, replaced by a new one (rotated) or
// deleted while it is read: the clients it names afterwards are still found, and the names
// read before remain.
TEST_F(LogParserTest, MissingTruncatedReplacedOrDeletedLogLosesNothing) {
    SystemLogCapture capture;
    LogParser parser(settings_.prefs);
    EXPECT_EQ(capture.lines().size(), 1U);
    EXPECT_EQ(parser.recordCount(), 0U);
    EXPECT_FALSE(parser.readLog(logPath(), 0));
    append(logLine("10.0.0.1", "alice", "Alice") + logLine("10.0.0.2", "bob", "Bob"));
    ASSERT_TRUE(parser.ipIsInLogParserStructure("10.0.0.2"));

    std::filesystem::remove(logPath());
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.1")) << "a deleted log keeps its records";

    append(logLine("10.0.0.3", "carol", "Carol"));  // a new, shorter log
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.3"));
    EXPECT_EQ(parser.findLoginFromIPString("10.0.0.3").value_or(""), "carol");
    EXPECT_EQ(logCursor(), fileSize());

    std::filesystem::resize_file(logPath(), 0);  // truncated in place
    append(logLine("10.0.0.4", "dave", "Dave"));
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.4"));
    EXPECT_TRUE(parser.ipIsInLogParserStructure("10.0.0.1"));
    EXPECT_FALSE(parser.readLog(logPath(), -1));
}

}  // namespace
}  // namespace quellbox
