#include "prioritymode/LogParser.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/PlistValue.h"
#include "platform/SystemLog.h"
#include "prioritymode/DateText.h"
#include "prioritymode/MacRomanText.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

namespace quellbox {

namespace {

constexpr char lineEnd = '\r';
constexpr char fieldSeparator = '\t';
constexpr double fortyEightHours = 172800.0;

bool isReadableFile(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), R_OK) == 0;
}

// Gathers the lines of a text that arrives in pieces: a line cut at the end of one piece
// is completed by the next, so pieces of any size give the lines of the whole text.
class LineAssembler {
public:
    template <typename LineHandler>
    void feed(const char* bytes, std::size_t length, LineHandler&& handle) {
        const char* const end = bytes + length;
        while (bytes < end) {
            const char* const stop = std::find(bytes, end, lineEnd);
            append(bytes, static_cast<std::size_t>(stop - bytes));
            if (stop == end) {
                return;
            }
            finish(handle);
            bytes = stop + 1;
        }
    }
    // The text after the last line end is a line too (possibly one still being written).
    template <typename LineHandler>
    void finishText(LineHandler&& handle) {
        finish(handle);
    }

private:
    void append(const char* bytes, std::size_t length) {
        if (overlong_) {
            return;
        }
        if (pending_.size() + length > LogParser::maxLineBytes) {
            overlong_ = true;
            pending_.clear();
            pending_.shrink_to_fit();
            return;
        }
        pending_.append(bytes, length);
    }
    template <typename LineHandler>
    void finish(LineHandler& handle) {
        if (!overlong_) {
            handle(pending_);
        }
        pending_.clear();
        overlong_ = false;
    }

    std::string pending_;
    bool overlong_ = false;
};

}  // namespace

LogParser::LogParser(Preferences& prefs, std::size_t readChunkBytes)
    : LogParser(prefs, prefs.stringForKey(keys::logPath).value_or(PlistValue()).stringValue(),
                readChunkBytes) {}

LogParser::LogParser(Preferences& prefs, const std::string& logPath, std::size_t readChunkBytes)
    : prefs_(prefs), readChunkBytes_(std::max<std::size_t>(readChunkBytes, 1)) {
    const std::int64_t cursorBegin = prefs_.integerForKey(keys::cursorBegin);
    LogParserStructure.reserve(50);
    if (prefs_.boolForKey(keys::useServerLogFile) && isReadableFile(logPath)) {
        readLog(logPath, cursorBegin);
    } else {
        SystemLog::log("initWithLogPath: No Valid Carracho Log Path !");
    }
}

bool LogParser::readLog(const std::string& path, std::int64_t fromCursor) {
    if (fromCursor < 0) {
        SystemLog::log("error : begin is < 0 !");
        return false;
    }
    std::lock_guard reading(readingLock);
    // Sizes and positions are 64-bit, so logs beyond 2 GiB are read like any other.
    std::int64_t fileSize = 0;
    struct stat attributes {};
    if (::stat(path.c_str(), &attributes) != 0) {
        SystemLog::log("Path " + path + " is not valid");
    } else {
        fileSize = static_cast<std::int64_t>(attributes.st_size);
    }

    applyFortyEightHourRule(fromCursor);

    const std::int64_t unread = fileSize - fromCursor;
    if (unread <= 0) {
        return false;
    }
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        std::printf("error when trying to 'fopen()' stream of file : %s\n", path.c_str());
        return false;
    }
    if (::fseeko(stream, static_cast<off_t>(fromCursor), SEEK_SET) != 0) {
        std::printf("error when fseeking stream of file : %s\n", path.c_str());
        std::fclose(stream);
        return false;
    }

    // Read the unread part in bounded pieces; the lines are gathered across pieces, so the
    // records are those of one reading of the whole part.
    const auto handleLine = [this](const std::string& line) { parseLine(line); };
    LineAssembler lines;
    std::vector<char> buffer(static_cast<std::size_t>(
        std::min<std::int64_t>(unread, static_cast<std::int64_t>(readChunkBytes_))));
    std::int64_t readSoFar = 0;
    while (readSoFar < unread) {
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(unread - readSoFar, static_cast<std::int64_t>(buffer.size())));
        const std::size_t got = std::fread(buffer.data(), 1, wanted, stream);
        lines.feed(buffer.data(), got, handleLine);
        readSoFar += static_cast<std::int64_t>(got);
        if (got < wanted) {
            if (std::ferror(stream) != 0) {
                SystemLog::reportError("error when reading stream of file " + path);
            }
            break;
        }
    }
    lines.finishText(handleLine);

    prefs_.setObject(PlistValue(fromCursor + readSoFar), keys::logCursor);
    if (std::fclose(stream) != 0) {
        SystemLog::log("error when closing stream of file : " + path);
    }
    return true;
}

void LogParser::applyFortyEightHourRule(std::int64_t fromCursor) {
    const auto beginDate = prefs_.objectForKey(keys::beginDate);
    if (!beginDate || beginDate->type() != PlistValue::Type::Date) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const double elapsed = std::chrono::duration<double>(now - beginDate->asDate()).count();
    if (std::fabs(elapsed) < fortyEightHours) {
        return;
    }
    SystemLog::log("refreshing LogParserStruct since more than 48h passed...");
    SystemLog::log("old beginDate = " + DateText::describe(beginDate->asDate()) +
                   ", setting it to NOW !");
    prefs_.setObject(PlistValue(fromCursor), keys::cursorBegin);
    prefs_.setObject(PlistValue(now), keys::beginDate);
}

void LogParser::parseLine(const std::string& line) {
    LogRecord fields;
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t stop = line.find(fieldSeparator, start);
        if (count == fields.size()) {
            return;  // more than five fields
        }
        fields[count++] =
            line.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
        if (stop == std::string::npos) {
            break;
        }
        start = stop + 1;
    }
    if (count != fields.size()) {
        return;
    }
    LogRecord record{MacRomanText::decode(fields[1]), MacRomanText::decode(fields[2]),
                     MacRomanText::decode(fields[3]), MacRomanText::decode(fields[0]),
                     MacRomanText::decode(fields[4])};
    std::string key = record[0];
    std::lock_guard guard(logParserLock);
    LogParserStructure.insert_or_assign(std::move(key), std::move(record));
}

std::int64_t LogParser::catchUpCursor(const std::string& path) {
    const std::int64_t cursor = prefs_.integerForKey(keys::logCursor);
    struct stat attributes {};
    if (::stat(path.c_str(), &attributes) != 0 ||
        static_cast<std::int64_t>(attributes.st_size) >= cursor) {
        return cursor;
    }
    // The server truncated or replaced (rotated) its log: what it writes now starts at the
    // beginning, and waiting until the new file outgrows the old position would lose it.
    SystemLog::log("the log file " + path +
                   " is shorter than what was read of it: reading it again from its start");
    prefs_.setObject(PlistValue(std::int64_t{0}), keys::cursorBegin);
    prefs_.setObject(PlistValue(std::int64_t{0}), keys::logCursor);
    return 0;
}

bool LogParser::ipIsInLogParserStructure(const std::string& ip) {
    if (prefs_.boolForKey(keys::useServerLogFile)) {
        const std::string path =
            prefs_.stringForKey(keys::logPath).value_or(PlistValue()).stringValue();
        if (isReadableFile(path)) {
            readLog(path, catchUpCursor(path));
        }
    }
    std::lock_guard guard(logParserLock);
    return LogParserStructure.contains(ip);
}

std::optional<std::string> LogParser::field(const std::string& ip, std::size_t index) const {
    std::lock_guard guard(logParserLock);
    const auto found = LogParserStructure.find(ip);
    if (found == LogParserStructure.end()) {
        return std::nullopt;
    }
    return found->second[index];
}

std::optional<std::string> LogParser::findLoginFromIPString(const std::string& ip) const {
    return field(ip, 1);
}
std::optional<std::string> LogParser::findScreenNameFromIPString(const std::string& ip) const {
    return field(ip, 2);
}
std::optional<std::string> LogParser::findDateFromIPstring(const std::string& ip) const {
    return field(ip, 3);
}
std::optional<std::string> LogParser::findWhatHeDlFromIPstring(const std::string& ip) const {
    return field(ip, 4);
}

void LogParser::rewindToBeginning() {
    std::lock_guard reading(readingLock);
    prefs_.setObject(PlistValue(prefs_.integerForKey(keys::cursorBegin)), keys::logCursor);
}

std::size_t LogParser::recordCount() const {
    std::lock_guard guard(logParserLock);
    return LogParserStructure.size();
}

}  // namespace quellbox
