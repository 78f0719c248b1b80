#include "settings/Preferences.h"

#include "platform/UserDefaults.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox {

namespace {
std::mutex sharedMutex;
std::shared_ptr<UserDefaults> configuredStore;  // guarded by sharedMutex
}  // namespace

Preferences::Preferences(std::shared_ptr<UserDefaults> store)
    : store_(std::move(store)), localPrefDict(store_->dictionaryRepresentation()) {}

void Preferences::configureShared(std::shared_ptr<UserDefaults> store) {
    std::lock_guard guard(sharedMutex);
    configuredStore = std::move(store);
}

Preferences& Preferences::sharedInstance() {
    static Preferences* shared = [] {
        std::shared_ptr<UserDefaults> store;
        {
            std::lock_guard guard(sharedMutex);
            store = configuredStore;
        }
        if (!store) {
            store = std::make_shared<UserDefaults>(UserDefaults::defaultPath());
            RegisteredDefaults::registerWith(*store);
        }
        // Lives until the process ends, as every user of the settings expects.
        return new Preferences(std::move(store));
    }();
    return *shared;
}

std::optional<PlistValue> Preferences::objectForKey(const std::string& key) const {
    std::lock_guard guard(prefLock);
    if (auto found = localPrefDict.find(key); found != localPrefDict.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::optional<PlistValue> Preferences::stringForKey(const std::string& key) const {
    return objectForKey(key);
}
std::optional<PlistValue> Preferences::arrayForKey(const std::string& key) const {
    return objectForKey(key);
}
std::optional<PlistValue> Preferences::dictionaryForKey(const std::string& key) const {
    return objectForKey(key);
}
std::optional<PlistValue> Preferences::dataForKey(const std::string& key) const {
    return objectForKey(key);
}
std::optional<PlistValue> Preferences::stringArrayForKey(const std::string& key) const {
    return objectForKey(key);
}

std::int64_t Preferences::integerForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    return value ? value->integerValue() : 0;
}

float Preferences::floatForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    return value ? value->floatValue() : 0.0F;
}

bool Preferences::boolForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    return value ? value->boolValue() : false;
}

void Preferences::setObject(PlistValue value, const std::string& key) {
    {
        std::lock_guard guard(prefLock);
        localPrefDict.insert_or_assign(key, value);
    }
    changed(key, value);
}

void Preferences::setInteger(std::int32_t value, const std::string& key) {
    setObject(PlistValue(value), key);
}

void Preferences::setFloat(float value, const std::string& key) {
    setObject(PlistValue(value), key);
}

void Preferences::setBool(bool value, const std::string& key) { setObject(PlistValue(value), key); }

void Preferences::removeObjectForKey(const std::string& key) {
    {
        std::lock_guard guard(prefLock);
        localPrefDict.erase(key);
    }
    changed(key, std::nullopt);
}

void Preferences::setChangeObserver(ChangeObserver observer) {
    std::lock_guard guard(observerLock_);
    observer_ = observer ? std::make_shared<ChangeObserver>(std::move(observer)) : nullptr;
}

void Preferences::changed(const std::string& key, const std::optional<PlistValue>& value) {
    std::shared_ptr<ChangeObserver> observer;
    {
        std::lock_guard guard(observerLock_);
        observer = observer_;
    }
    if (observer) {
        (*observer)(key, value);
    }
}

PlistValue::Dictionary Preferences::dictionaryRepresentation() const {
    std::lock_guard guard(prefLock);
    return localPrefDict;
}

void Preferences::setLocalDictionary(PlistValue::Dictionary dictionary) {
    std::lock_guard guard(prefLock);
    localPrefDict = std::move(dictionary);
}

bool Preferences::saveLocalPref() {
    std::lock_guard guard(prefLock);
    for (const auto& [key, value] : localPrefDict) {
        const auto stored = store_->objectForKey(key);
        if (!stored || !(*stored == value)) {
            store_->setObject(key, value);
        }
    }
    return store_->synchronize();
}

}  // namespace quellbox
