// Any bytes as a property list: the settings file (through the user-defaults store, which
// must keep a damaged file aside) and the version file.
#include "FuzzSupport.h"
#include "platform/AtomicFile.h"
#include "platform/PlistValue.h"
#include "platform/UserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto value = PlistValue::fromXml(text)) {
        // What was read writes back and reads again as the same value.
        const auto again = PlistValue::fromXml(value->toXml());
        if (!again || !(*again == *value)) {
            __builtin_trap();
        }
    }
    auto& world = fuzzing::FuzzWorld::instance();
    const auto settings = world.folder() / "settings" / "Quellbox.plist";
    std::filesystem::remove_all(settings.parent_path());
    AtomicFile::write(settings, text);
    UserDefaults store(settings);
    (void)store.dictionaryRepresentation();
    return 0;
}
