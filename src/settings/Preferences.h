#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PlistValue.h"

namespace quellbox {

class UserDefaults;

// The settings store: a working copy of every setting, read and written at once from any
// thread; the copy reaches the user-defaults store (and its file) only in saveLocalPref().
class Preferences {
public:
    // A store over `store`, whose current values (registered defaults and the user's file)
    // become the working copy.
    explicit Preferences(std::shared_ptr<UserDefaults> store);
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    // The application's store. Made on first use over the user's settings file with the
    // registered defaults, unless configureShared() chose a store before.
    static Preferences& sharedInstance();
    // Chooses the store behind sharedInstance(); only before its first use.
    static void configureShared(std::shared_ptr<UserDefaults> store);

    std::optional<PlistValue> objectForKey(const std::string& key) const;
    // These answer the same value as objectForKey, whatever its type.
    std::optional<PlistValue> stringForKey(const std::string& key) const;
    std::optional<PlistValue> arrayForKey(const std::string& key) const;
    std::optional<PlistValue> dictionaryForKey(const std::string& key) const;
    std::optional<PlistValue> dataForKey(const std::string& key) const;
    std::optional<PlistValue> stringArrayForKey(const std::string& key) const;
    // The value's own integer, float or boolean value; 0, 0.0 or false when missing.
    std::int64_t integerForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;

    void setObject(PlistValue value, const std::string& key);
    void setInteger(std::int32_t value, const std::string& key);
    void setFloat(float value, const std::string& key);
    void setBool(bool value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    // A copy of the working copy, taken under the lock.
    PlistValue::Dictionary dictionaryRepresentation() const;
    void setLocalDictionary(PlistValue::Dictionary dictionary);
    // Writes every value that differs from the user-defaults store's current one, then the
    // store's file; false when the file could not be written (the values stay in the copy).
    bool saveLocalPref();

    UserDefaults& store() const { return *store_; }

    // Told of every change of one key (set or removed, no value then), on the changing
    // thread, after the lock is released. One observer; an empty function removes it.
    using ChangeObserver =
        std::function<void(const std::string& key, const std::optional<PlistValue>& value)>;
    void setChangeObserver(ChangeObserver observer);

private:
    std::shared_ptr<UserDefaults> store_;
    mutable std::mutex prefLock;
    PlistValue::Dictionary localPrefDict;
    // Copied under observerLock_ and called outside it, so an observer may read the store.
    std::mutex observerLock_;
    std::shared_ptr<ChangeObserver> observer_;
    void changed(const std::string& key, const std::optional<PlistValue>& value);
};

}  // namespace quellbox
