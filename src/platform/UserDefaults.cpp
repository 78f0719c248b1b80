#include "platform/UserDefaults.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"

namespace quellbox {

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) { load(); }

std::filesystem::path UserDefaults::defaultPath() {
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        base = std::filesystem::current_path();
    }
    return base / "Quellbox" / "Quellbox.plist";
}

void UserDefaults::load() {
    const auto contents = AtomicFile::read(file_);
    if (!contents) {
        return;  // no file yet: a fresh installation
    }
    auto parsed = PlistValue::fromXml(*contents);
    if (parsed && parsed->isDictionary()) {
        user_ = std::move(parsed->asDictionary());
        return;
    }
    // Keep the damaged file aside so that nothing the user had is lost, and start afresh.
    const auto stamp = std::to_string(std::time(nullptr));
    auto aside = file_;
    aside += ".damaged-" + stamp;
    std::error_code error;
    std::filesystem::rename(file_, aside, error);
    if (error) {
        loadProblem_ = "The settings file " + file_.string() +
                       " is damaged and could not be moved aside (" + error.message() +
                       "); it will not be overwritten.";
        // Never save over a file we could not keep a copy of.
        file_.clear();
    } else {
        loadProblem_ = "The settings file " + file_.string() + " is damaged; it was kept as " +
                       aside.string() + " and the default settings are used.";
    }
    SystemLog::log(*loadProblem_);
}

void UserDefaults::registerDefaults(PlistValue::Dictionary defaults) {
    std::lock_guard guard(mutex_);
    registered_ = std::move(defaults);
}

PlistValue::Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard guard(mutex_);
    PlistValue::Dictionary merged = registered_;
    for (const auto& [key, value] : user_) {
        merged.insert_or_assign(key, value);
    }
    return merged;
}

std::optional<PlistValue> UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard guard(mutex_);
    if (auto found = user_.find(key); found != user_.end()) {
        return found->second;
    }
    if (auto found = registered_.find(key); found != registered_.end()) {
        return found->second;
    }
    return std::nullopt;
}

void UserDefaults::setObject(const std::string& key, PlistValue value) {
    std::lock_guard guard(mutex_);
    user_.insert_or_assign(key, std::move(value));
    dirty_ = true;
}

bool UserDefaults::synchronize() {
    std::lock_guard guard(mutex_);
    if (!dirty_) {
        return true;
    }
    if (file_.empty()) {
        SystemLog::log("settings not saved: the damaged settings file could not be kept aside");
        return false;
    }
    if (!AtomicFile::write(file_, PlistValue(user_).toXml())) {
        return false;
    }
    dirty_ = false;
    return true;
}

std::optional<std::string> UserDefaults::loadProblem() const {
    std::lock_guard guard(mutex_);
    return loadProblem_;
}

}  // namespace quellbox
