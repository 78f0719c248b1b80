#include "settings/RegisteredDefaults.h"

#include <chrono>

#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/UserDefaultsResource.h"

namespace quellbox {

PlistValue::Dictionary RegisteredDefaults::dictionary() {
    PlistValue::Dictionary defaults;
    auto parsed = PlistValue::fromXml(kUserDefaultsResource);
    if (parsed && parsed->isDictionary()) {
        defaults = std::move(parsed->asDictionary());
    } else {
        SystemLog::log("the registered defaults (UserDefaults.plist) could not be read");
    }
    defaults.insert_or_assign(keys::beginDate, PlistValue(std::chrono::system_clock::now()));
    return defaults;
}

void RegisteredDefaults::registerWith(UserDefaults& store) { store.registerDefaults(dictionary()); }

}  // namespace quellbox
