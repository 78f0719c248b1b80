#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/PlistValue.h"

namespace quellbox {

class NotificationCenter;
class Preferences;

// The default priority of each login, kept in the text file "Quellbox Default Priorities.txt"
// beside the server's log (lines "login=priority", Mac OS Roman, "#" starts a comment).
// Answers the engine's lookups from any thread; adds and removes lines in the file; is the
// data source of the preferences window's table (rows: the logins, sorted ignoring case).
class defaultPriorityParser {
public:
    // How a cell of the table is shown.
    struct CellAppearance {
        bool enabled;
        bool editable;
        bool disabledTextColor;  // otherwise the normal control text colour
    };

    // The application's instance, made and filled from its file on first use (safe when
    // several threads ask first at once).
    static std::shared_ptr<defaultPriorityParser> sharedInstance();

    // An instance over `prefs` (for "logPath") that posts its alert to `center`; reads the
    // file at once.
    explicit defaultPriorityParser(Preferences& prefs);
    defaultPriorityParser(Preferences& prefs, NotificationCenter& center);
    defaultPriorityParser(const defaultPriorityParser&) = delete;
    defaultPriorityParser& operator=(const defaultPriorityParser&) = delete;

    // The listed logins, sorted ignoring case.
    std::vector<std::string> keyArray() const;
    // Reads the file anew; writes the sample file when it is missing.
    void parseQbxPrioFile();
    bool containsEntryWithLogin(const std::string& login) const;
    // The login's priority, 0..10; 5 when it has no entry or its entry is out of range.
    int defaultPriorityForLogin(const std::string& login) const;
    // Appends the line "login=priority" (5 for a priority outside 0..10) to the file; false,
    // with the file and the table unchanged, when the login is listed already, cannot be
    // written as one line of the file, or the file cannot be written.
    bool addEntry(int priority, const std::string& forLogin);
    // Takes every line that reads exactly "login=priority" out of the file; false when there
    // is none or the file cannot be written.
    bool removeEntry(int priority, const std::string& Login);

    int numberOfRowsInTableView() const;
    // Column "login": the row's login; column "priority": its priority as a number. Nothing
    // for any other column or a row outside the table.
    std::optional<PlistValue> objectValueForTableColumn(const std::string& identifier,
                                                        int row) const;
    // Edits the row's line in the file: a new login or a new priority. `reloadData` is called
    // once the old line is gone, before the new one is added. An edit that would lose the
    // entry (a new login that is listed already or cannot be written) is refused first.
    void setObjectValue(const PlistValue& value, const std::string& identifier, int row,
                        const std::function<void()>& reloadData = {});
    CellAppearance willDisplayCell(bool tableViewEnabled, const std::string& identifier,
                                   int row) const;
    bool shouldSelectRow(bool tableViewEnabled, int row) const;

private:
    using Entry = PlistValue::Array;

    // The file's path, or nothing while "logPath" names no existing file.
    std::optional<std::string> priorityFilePath() const;
    void readFile(const std::string& path);
    // Writes back the file as it was before an edit whose addition failed, and the entry.
    bool restoreEntry(const std::string& path, const std::string& before, const std::string& login,
                      const Entry& entry);
    bool canWriteLoginLine(const std::string& login) const;
    static int entryPriority(const Entry& entry);
    static void sortLogins(std::vector<std::string>& logins);

    Preferences& prefs_;
    NotificationCenter& center_;
    // Serialises the reading and editing of the file. Taken before
    // defaultPriorityParserLock; the file is never touched while that lock is held.
    std::mutex fileLock;
    mutable std::mutex defaultPriorityParserLock;
    std::map<std::string, Entry> loginPriorityDict;  // guarded by defaultPriorityParserLock
    std::vector<std::string> keyArray_;              // guarded by defaultPriorityParserLock
};

}  // namespace quellbox
