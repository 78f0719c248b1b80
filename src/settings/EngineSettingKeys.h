#pragma once

#include <string>

#include "settings/PreferenceKeys.h"

namespace quellbox::keys {

// The settings that the engine process reads or writes itself: where the server's log is and
// how far it has been read, the network interface, the priority step, the queueing-delay
// bound. The window and the
// engine keep each other's working copy of these in step; no other key crosses over.
inline constexpr const char* engineSettingKeys[] = {logPath,        useServerLogFile, cursorBegin,
                                                    logCursor,      beginDate,        NetworkIf,
                                                    priorityFactor, maxQueueDelay};

inline bool isEngineSettingKey(const std::string& key) {
    for (const char* engineKey : engineSettingKeys) {
        if (key == engineKey) {
            return true;
        }
    }
    return false;
}

}  // namespace quellbox::keys
