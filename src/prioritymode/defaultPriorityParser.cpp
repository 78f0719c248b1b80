#include "prioritymode/defaultPriorityParser.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "platform/AtomicFile.h"
#include "platform/InPlaceFile.h"
#include "platform/LocalizedText.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "prioritymode/MacRomanText.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

namespace quellbox {

namespace {

constexpr int standardPriority = 5;

// Written when the file is missing: fourteen lines, no line feed after the last.
constexpr const char* sampleContent =
    "# Use '#' to make the line a comment\n"
    "#\n"
    "#please follow this syntax :\n"
    "#*****************************************************\n"
    "#\t login=priority  (0 \u2264 priority \u2264 10)\n"
    "#*****************************************************\n"
    "#exemples :\n"
    "#My_Best_Frend_Login=10\n"
    "#My_Enemy_Login=0\n"
    "#the_Guest_Login=5\n"
    "#\n"
    "qim=10\n"
    "zabut=10\n"
    "trelvon=10";

bool isReadable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t stop = text.find(separator, start);
        if (stop == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
}

// A value read as an integer the way a leading number is read from a text: leading blanks,
// an optional sign and decimal digits; 0 without a leading number.
std::int64_t leadingInteger(const PlistValue& value) {
    if (!value.isString()) {
        return value.integerValue();
    }
    const long long number = std::strtoll(value.asString().c_str(), nullptr, 10);
    return static_cast<std::int64_t>(number);
}

// A priority outside 0..10 counts as the standard one.
int validPriority(std::int64_t priority) {
    return priority < 0 || priority > 10 ? standardPriority : static_cast<int>(priority);
}

std::string lowered(const std::string& text) {
    std::string result = text;
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return result;
}

}  // namespace

std::shared_ptr<defaultPriorityParser> defaultPriorityParser::sharedInstance() {
    // A function-local static is initialised once even when threads ask at the same moment.
    static const std::shared_ptr<defaultPriorityParser> shared =
        std::make_shared<defaultPriorityParser>(Preferences::sharedInstance());
    return shared;
}

defaultPriorityParser::defaultPriorityParser(Preferences& prefs)
    : defaultPriorityParser(prefs, NotificationCenter::defaultCenter()) {}

defaultPriorityParser::defaultPriorityParser(Preferences& prefs, NotificationCenter& center)
    : prefs_(prefs), center_(center) {
    parseQbxPrioFile();
}

std::vector<std::string> defaultPriorityParser::keyArray() const {
    std::lock_guard guard(defaultPriorityParserLock);
    return keyArray_;
}

std::optional<std::string> defaultPriorityParser::priorityFilePath() const {
    const std::string logPath =
        prefs_.stringForKey(keys::logPath).value_or(PlistValue()).stringValue();
    std::error_code error;
    if (logPath.empty() || !std::filesystem::exists(logPath, error)) {
        return std::nullopt;
    }
    return std::filesystem::path(logPath)
        .replace_filename(LocalizedText::lookup("Quellbox Default Priorities.txt"))
        .string();
}

void defaultPriorityParser::parseQbxPrioFile() {
    std::lock_guard file(fileLock);
    const auto path = priorityFilePath();
    if (!path) {
        SystemLog::log(
            "you can't have a default priority file without a valid path to 'Donwloads' log file "
            "!");
    } else if (isReadable(*path)) {
        readFile(*path);
    } else if (std::error_code error; std::filesystem::exists(*path, error)) {
        // A file that is there but cannot be read is the operator's, not ours to replace.
        SystemLog::log("the default priority file " + *path + " exists but cannot be read !");
    } else {
        const auto sample = MacRomanText::encode(sampleContent);
        if (sample && InPlaceFile::replace(*path, std::nullopt, *sample)) {
            readFile(*path);
        } else {
            SystemLog::log("error when writing " + *path);
            std::string title = LocalizedText::lookup("Error when writing file at path : %@");
            if (const auto at = title.find("%@"); at != std::string::npos) {
                title.replace(at, 2, *path);
            }
            center_.postNotification(
                "genericIpfwProblemNotification", this,
                {{"title", PlistValue(title)},
                 {"msg", PlistValue(LocalizedText::lookup(
                             "Please check this file exists and is writable"))},
                 {"needToQuitAfterAlert", PlistValue(false)}});
        }
    }
    std::lock_guard guard(defaultPriorityParserLock);
    sortLogins(keyArray_);
}

void defaultPriorityParser::readFile(const std::string& path) {
    const std::string bytes = AtomicFile::read(path).value_or("");
    if (!bytes.empty() && bytes.back() != '\n') {
        SystemLog::log("adding a Carriage Return t the end of " + path);
        if (!InPlaceFile::replace(path, bytes, bytes + "\n")) {
            SystemLog::log("error when adding CR to the end of default priority file !");
        }
    }
    // Built aside and swapped in, so that lookups never see a half-read table.
    std::map<std::string, Entry> entries;
    std::vector<std::string> logins;
    for (const std::string& line : splitAt(MacRomanText::decode(bytes), '\n')) {
        if (!line.empty() && line.front() == '#') {
            continue;
        }
        std::vector<std::string> pieces = splitAt(line, '=');
        if (pieces.size() < 2) {
            continue;
        }
        Entry entry(pieces.begin() + 1, pieces.end());
        if (entries.insert_or_assign(pieces.front(), std::move(entry)).second) {
            logins.push_back(pieces.front());
        }
    }
    sortLogins(logins);
    std::lock_guard guard(defaultPriorityParserLock);
    loginPriorityDict.swap(entries);
    keyArray_.swap(logins);
}

bool defaultPriorityParser::containsEntryWithLogin(const std::string& login) const {
    std::lock_guard guard(defaultPriorityParserLock);
    return loginPriorityDict.contains(login);
}

int defaultPriorityParser::entryPriority(const Entry& entry) {
    return entry.empty() ? standardPriority : validPriority(leadingInteger(entry.front()));
}

int defaultPriorityParser::defaultPriorityForLogin(const std::string& login) const {
    std::lock_guard guard(defaultPriorityParserLock);
    const auto found = loginPriorityDict.find(login);
    return found == loginPriorityDict.end() ? standardPriority : entryPriority(found->second);
}

bool defaultPriorityParser::canWriteLoginLine(const std::string& login) const {
    // A login with a line feed or "=" would read back as other logins, one starting with
    // "#" as a comment, and one Mac OS Roman cannot hold would be garbled.
    return login.find_first_of("\n=") == std::string::npos &&
           (login.empty() || login.front() != '#') && MacRomanText::encode(login).has_value();
}

bool defaultPriorityParser::addEntry(int priority, const std::string& forLogin) {
    std::lock_guard file(fileLock);
    priority = validPriority(priority);
    if (prefs_.stringForKey(keys::logPath).value_or(PlistValue()).stringValue().empty()) {
        return false;
    }
    if (containsEntryWithLogin(forLogin)) {
        return false;
    }
    if (!canWriteLoginLine(forLogin)) {
        SystemLog::log("the login '" + forLogin +
                       "' cannot be written to the default priority file !");
        return false;
    }
    const std::string line = forLogin + "=" + std::to_string(priority) + "\n";
    const auto path = priorityFilePath();
    if (!path) {
        SystemLog::log(
            "without valid log path to server log file it not possible to have default priorities "
            "!");
        return false;
    }
    if (!isReadable(*path)) {
        SystemLog::log("trying to add a line of a non existing file !");
        return false;
    }
    const auto bytes = AtomicFile::read(*path);
    if (!bytes) {
        SystemLog::log("trying to add a line of a non existing file !");
        return false;
    }
    std::string text = *bytes;
    // A last line without its line feed (the file edited by hand) must not swallow the new one.
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    text += *MacRomanText::encode(line);
    if (!InPlaceFile::replace(*path, *bytes, text)) {
        return false;
    }
    std::lock_guard guard(defaultPriorityParserLock);
    loginPriorityDict.insert_or_assign(forLogin, Entry{PlistValue(priority)});
    keyArray_.push_back(forLogin);
    sortLogins(keyArray_);
    return true;
}

bool defaultPriorityParser::removeEntry(int priority, const std::string& Login) {
    std::lock_guard file(fileLock);
    const std::string line = Login + "=" + std::to_string(priority);
    const auto path = priorityFilePath();
    if (!path) {
        SystemLog::log(
            "without valid log path to server log file it not possible to have default priorities "
            "!");
        return false;
    }
    const auto bytes = isReadable(*path) ? AtomicFile::read(*path) : std::nullopt;
    if (!bytes) {
        SystemLog::log("trying to remove a line of a non existing or non readable file !");
        return false;
    }
    // Lines are matched as they stand in the file; the others are kept byte for byte.
    const auto wanted = MacRomanText::encode(line);
    std::string remaining;
    bool removed = false;
    std::size_t start = 0;
    while (start < bytes->size()) {
        const std::size_t stop = bytes->find('\n', start);
        const std::size_t end = stop == std::string::npos ? bytes->size() : stop;
        const std::string_view current(bytes->data() + start, end - start);
        if (wanted && current == *wanted) {
            removed = true;
        } else {
            remaining.append(current);
            if (stop != std::string::npos) {
                remaining.push_back('\n');
            }
        }
        start = end + 1;
    }
    if (!removed) {
        SystemLog::log("impossible to remove this line : " + line + "\n nor this one " + line);
        return false;
    }
    if (!InPlaceFile::replace(*path, *bytes, remaining)) {
        return false;
    }
    std::lock_guard guard(defaultPriorityParserLock);
    std::erase(keyArray_, Login);
    loginPriorityDict.erase(Login);
    return true;
}

int defaultPriorityParser::numberOfRowsInTableView() const {
    std::lock_guard guard(defaultPriorityParserLock);
    return static_cast<int>(keyArray_.size());
}

std::optional<PlistValue> defaultPriorityParser::objectValueForTableColumn(
    const std::string& identifier, int row) const {
    std::string login;
    {
        std::lock_guard guard(defaultPriorityParserLock);
        if (row < 0 || row >= static_cast<int>(keyArray_.size())) {
            return std::nullopt;
        }
        login = keyArray_[static_cast<std::size_t>(row)];
    }
    if (identifier == "login") {
        return PlistValue(login);
    }
    if (identifier == "priority") {
        return PlistValue(defaultPriorityForLogin(login));
    }
    return std::nullopt;
}

void defaultPriorityParser::setObjectValue(const PlistValue& value, const std::string& identifier,
                                           int row, const std::function<void()>& reloadData) {
    std::string login;
    Entry entry;
    PlistValue first;
    {
        std::lock_guard guard(defaultPriorityParserLock);
        if (row < 0 || row >= static_cast<int>(keyArray_.size())) {
            return;
        }
        login = keyArray_[static_cast<std::size_t>(row)];
        entry = loginPriorityDict.at(login);
        first = entry.empty() ? PlistValue(0) : entry.front();
    }
    // Refuse what the addition would refuse before the old line is removed, so that an edit
    // never loses the entry.
    const bool loginColumn = identifier == "login";
    if (!loginColumn && identifier != "priority") {
        SystemLog::log("error : column in loginIPTable not recognized !");
        return;
    }
    const std::string newLogin = loginColumn ? value.stringValue() : login;
    if (loginColumn && newLogin != login) {
        if (containsEntryWithLogin(newLogin)) {
            SystemLog::log("the login '" + newLogin +
                           "' is already listed in the default priority file !");
            return;
        }
        if (!canWriteLoginLine(newLogin)) {
            SystemLog::log("the login '" + newLogin +
                           "' cannot be written to the default priority file !");
            return;
        }
    }
    const std::int64_t oldPriority = leadingInteger(first);
    const bool oldPriorityFits = oldPriority >= std::numeric_limits<int>::min() &&
                                 oldPriority <= std::numeric_limits<int>::max();
    // Kept so that an addition failing after the removal (a full disk) can be undone.
    const auto path = priorityFilePath();
    const auto before = path ? AtomicFile::read(*path) : std::nullopt;
    if (!oldPriorityFits || !removeEntry(static_cast<int>(oldPriority), login)) {
        SystemLog::log("error when deleting line '" + login + "=" + first.stringValue() +
                       "' in default priority file !");
        return;
    }
    if (reloadData) {
        reloadData();
    }
    const bool added = loginColumn ? addEntry(validPriority(oldPriority), newLogin)
                                   : addEntry(validPriority(leadingInteger(value)), login);
    if (!added && path && before && restoreEntry(*path, *before, login, entry) && reloadData) {
        reloadData();
    }
}

bool defaultPriorityParser::restoreEntry(const std::string& path, const std::string& before,
                                         const std::string& login, const Entry& entry) {
    std::lock_guard file(fileLock);
    const auto current = AtomicFile::read(path);
    if (!current || !InPlaceFile::replace(path, current, before)) {
        SystemLog::log("the line of '" + login +
                       "' could not be put back in the default priority file !");
        return false;
    }
    std::lock_guard guard(defaultPriorityParserLock);
    loginPriorityDict.insert_or_assign(login, entry);
    keyArray_.push_back(login);
    sortLogins(keyArray_);
    return true;
}

defaultPriorityParser::CellAppearance defaultPriorityParser::willDisplayCell(
    bool tableViewEnabled, const std::string& /*identifier*/, int /*row*/) const {
    return CellAppearance{tableViewEnabled, tableViewEnabled, !tableViewEnabled};
}

bool defaultPriorityParser::shouldSelectRow(bool tableViewEnabled, int /*row*/) const {
    return tableViewEnabled;
}

void defaultPriorityParser::sortLogins(std::vector<std::string>& logins) {
    std::sort(logins.begin(), logins.end(), [](const std::string& a, const std::string& b) {
        const std::string lowerA = lowered(a);
        const std::string lowerB = lowered(b);
        return lowerA != lowerB ? lowerA < lowerB : a < b;
    });
}

}  // namespace quellbox
