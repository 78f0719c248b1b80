#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PlistValue.h"

namespace quellbox {

// The user-defaults store: registered defaults under the user's own values, which live in
// one XML property list file (by default $XDG_CONFIG_HOME/Quellbox/Quellbox.plist). The file
// holds only the values the user changed; it is written atomically by synchronize(). A file
// that cannot be read as a dictionary is moved aside (never overwritten) and reported.
class UserDefaults {
public:
    explicit UserDefaults(std::filesystem::path file);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // $XDG_CONFIG_HOME/Quellbox/Quellbox.plist, with ~/.config when the variable is unset.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& path() const { return file_; }

    // Replaces the registration domain: the values read for keys the user has not set.
    void registerDefaults(PlistValue::Dictionary defaults);
    // Registered defaults overlaid with the user's values.
    PlistValue::Dictionary dictionaryRepresentation() const;
    std::optional<PlistValue> objectForKey(const std::string& key) const;
    // Stores a user value (kept in memory until synchronize()).
    void setObject(const std::string& key, PlistValue value);
    // Writes the user's values to the file when any changed; true when the file is current.
    bool synchronize();

    // When the file was damaged at load: where the damaged copy was put, and why.
    std::optional<std::string> loadProblem() const;

private:
    void load();

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    PlistValue::Dictionary registered_;
    PlistValue::Dictionary user_;
    bool dirty_ = false;
    std::optional<std::string> loadProblem_;
};

}  // namespace quellbox
