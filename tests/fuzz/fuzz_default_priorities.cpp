// Any bytes as the default priorities file; then the lookups and an edit the window makes.
#include <fstream>

#include "FuzzSupport.h"
#include "platform/NotificationCenter.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    auto& world = fuzzing::FuzzWorld::instance();
    const auto log = world.folder() / "Downloads";
    std::ofstream(log, std::ios::binary | std::ios::trunc).close();
    std::ofstream(world.folder() / "Quellbox Default Priorities.txt",
                  std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    auto prefs = world.freshPreferences();
    prefs->setObject(PlistValue(log.string()), keys::logPath);
    NotificationCenter center;
    defaultPriorityParser priorities(*prefs, center);
    const int rows = priorities.numberOfRowsInTableView();
    for (int row = -1; row <= rows; ++row) {
        (void)priorities.objectValueForTableColumn("login", row);
        (void)priorities.objectValueForTableColumn("priority", row);
    }
    for (const auto& login : priorities.keyArray()) {
        const int priority = priorities.defaultPriorityForLogin(login);
        if (priority < 0 || priority > 10) {
            __builtin_trap();
        }
    }
    if (rows > 0) {
        priorities.setObjectValue(PlistValue(7), "priority", 0);
    }
    return 0;
}
