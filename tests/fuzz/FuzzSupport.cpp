#include "FuzzSupport.h"

#include <stdlib.h>

#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox::fuzzing {

FuzzWorld& FuzzWorld::instance() {
    static FuzzWorld world;
    return world;
}

FuzzWorld::FuzzWorld() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quellbox-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        abort();
    }
    folder_ = pattern;
    SystemLog::setEchoToStandardError(false);
}

std::unique_ptr<Preferences> FuzzWorld::freshPreferences() const {
    auto store = std::make_shared<UserDefaults>(folder_ / "no-such-settings.plist");
    RegisteredDefaults::registerWith(*store);
    return std::make_unique<Preferences>(store);
}

std::vector<std::string> split(const std::uint8_t* data, std::size_t size, char separator) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (static_cast<char>(data[i]) == separator) {
            pieces.emplace_back();
        } else {
            pieces.back() += static_cast<char>(data[i]);
        }
    }
    return pieces;
}

}  // namespace quellbox::fuzzing
