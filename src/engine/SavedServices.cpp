#include "engine/SavedServices.h"

#include <thread>

#include "engine/EngineControls.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/Service.h"

namespace quellbox {

namespace {
PlistValue::Array storedArray(const Preferences& preferences, const char* key) {
    const auto value = preferences.arrayForKey(key);
    return value && value->isArray() ? value->asArray() : PlistValue::Array{};
}
}  // namespace

std::vector<std::shared_ptr<Service>> SavedServices::load(Preferences& preferences) {
    PlistValue::Array names = storedArray(preferences, keys::servicesNameArray);
    PlistValue::Array ports = storedArray(preferences, keys::servicesPortArray);
    names.resize(std::min(names.size(), ports.size()));
    preferences.setObject(PlistValue(names), keys::servicesNameArray);
    ports.resize(names.size());
    preferences.setObject(PlistValue(ports), keys::servicesPortArray);

    std::vector<std::shared_ptr<Service>> services;
    services.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        services.push_back(std::make_shared<Service>(
            names[i].stringValue(), static_cast<std::int32_t>(ports[i].integerValue())));
    }
    return services;
}

std::vector<bool> SavedServices::activatedFlags(const Preferences& preferences, std::size_t count) {
    std::vector<bool> activated;
    for (const auto& flag : storedArray(preferences, keys::activatedULServices)) {
        activated.push_back(flag.boolValue());
    }
    if (activated.size() < count) {
        activated.resize(count, true);
    }
    return activated;
}

std::vector<int> SavedServices::reapplySavedCaps(
    EngineControls& engine, const std::vector<std::shared_ptr<Service>>& services,
    const std::vector<bool>& activated) {
    std::vector<int> capped;
    for (std::size_t i = 0; i < services.size() && i < activated.size(); ++i) {
        if (!activated[i]) {
            continue;
        }
        if (engine.addULService(services[i]) < 0) {
            SystemLog::log("can't create rule !");
            break;
        }
        capped.push_back(services[i]->servicePort());
        services[i]->setUploadIsCapped(true);
    }
    return capped;
}

void SavedServices::windDown(EngineControls& engine, const Preferences& preferences,
                             const std::vector<std::shared_ptr<Service>>& services,
                             const Sleep& sleep) {
    const double rate = preferences.floatForKey(keys::DATARate);
    engine.setDATARate(static_cast<float>(rate * 0.66666));
    sleep(std::chrono::milliseconds(500));
    engine.setDATARate(static_cast<float>(rate * 0.33333));
    sleep(std::chrono::milliseconds(500));
    for (const auto& service : services) {
        if (service->uploadIsCapped()) {
            engine.removeULService(service);
        }
    }
}

}  // namespace quellbox
