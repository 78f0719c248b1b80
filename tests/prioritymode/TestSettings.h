#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "TempDir.h"
#include "platform/UserDefaults.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox::testing {

// A settings store with the registered defaults over a fresh temporary folder, which also
// holds the test's log and default priorities files.
struct TestSettings {
    TestSettings()
        : prefs([this] {
              auto store = std::make_shared<UserDefaults>(dir / "Quellbox.plist");
              RegisteredDefaults::registerWith(*store);
              return store;
          }()) {}

    std::filesystem::path logPath() const { return dir / "Downloads"; }
    std::filesystem::path priorityFile() const { return dir / "Quellbox Default Priorities.txt"; }

    TempDir dir;
    Preferences prefs;
};

inline std::chrono::system_clock::time_point secondsAgo(double seconds) {
    return std::chrono::system_clock::now() -
           std::chrono::duration_cast<std::chrono::system_clock::duration>(
               std::chrono::duration<double>(seconds));
}

}  // namespace quellbox::testing
