#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace quellbox {

class Preferences;

// Reads the file server's "Downloads" log incrementally, from the byte position saved in
// the settings ("logCursor"), and keeps for every IP address the fields of the last line seen
// for it. A log line is "date\tip\tlogin\tscreen name\tfile\r" in Mac OS Roman.
class LogParser {
public:
    // The fields of one log line: address, login, screen name, date, downloaded file.
    using LogRecord = std::array<std::string, 5>;
    // The unread part of the log is read in pieces of at most this many bytes.
    static constexpr std::size_t defaultReadChunkBytes = 1 << 20;
    // A "line" longer than this is no log line (a Downloads line is a few hundred bytes):
    // it is skipped instead of being gathered in memory.
    static constexpr std::size_t maxLineBytes = 1 << 20;

    // A reader of the log named by the setting "logPath".
    explicit LogParser(Preferences& prefs, std::size_t readChunkBytes = defaultReadChunkBytes);
    // A reader of the log at `logPath`. When the setting "useServerLogFile" is on and the file
    // is readable, it is read at once from the setting "cursorBegin".
    LogParser(Preferences& prefs, const std::string& logPath,
              std::size_t readChunkBytes = defaultReadChunkBytes);
    LogParser(const LogParser&) = delete;
    LogParser& operator=(const LogParser&) = delete;

    // Reads `path` from byte `fromCursor` to its end and records its lines; stores the
    // position reached in "logCursor". True when new bytes were read. Also applies the
    // 48-hour rule: when "beginDate" is two days old or more, "cursorBegin" moves to
    // `fromCursor` and "beginDate" to now.
    bool readLog(const std::string& path, std::int64_t fromCursor);

    // Catches up with the log (when it is in use and readable), then answers whether a line
    // for the address was seen. The address is matched exactly as text.
    bool ipIsInLogParserStructure(const std::string& ip);
    // These look the address up without reading the log.
    std::optional<std::string> findLoginFromIPString(const std::string& ip) const;
    std::optional<std::string> findScreenNameFromIPString(const std::string& ip) const;
    std::optional<std::string> findDateFromIPstring(const std::string& ip) const;
    std::optional<std::string> findWhatHeDlFromIPstring(const std::string& ip) const;

    // Sets "logCursor" back to "cursorBegin", so that the next lookup reads the log again
    // from there. Made under the reading lock, so a reading in progress cannot overwrite it.
    void rewindToBeginning();

    // How many addresses have a record.
    std::size_t recordCount() const;

private:
    std::optional<std::string> field(const std::string& ip, std::size_t index) const;
    void applyFortyEightHourRule(std::int64_t fromCursor);
    void parseLine(const std::string& line);
    // Where a catch-up reading starts: the saved cursor, or 0 when the log became shorter
    // than it (truncated or rotated).
    std::int64_t catchUpCursor(const std::string& path);

    Preferences& prefs_;
    const std::size_t readChunkBytes_;
    // Serialises catching up with the file, so that two threads do not read the same lines
    // and the cursor only moves forward. Taken before logParserLock, never inside it.
    std::mutex readingLock;
    mutable std::mutex logParserLock;
    std::unordered_map<std::string, LogRecord> LogParserStructure;  // guarded by logParserLock
};

}  // namespace quellbox
