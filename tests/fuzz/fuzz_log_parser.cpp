// Any bytes appended to the server's Downloads log, in any chunking: the first byte chooses
// the chunk size; the reader catches up after every chunk, as it does while the server writes.
#include <fstream>

#include "FuzzSupport.h"
#include "prioritymode/LogParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    auto& world = fuzzing::FuzzWorld::instance();
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = 1 + data[0] % 64;
    ++data;
    --size;
    const auto log = world.folder() / "Downloads";
    std::ofstream(log, std::ios::binary | std::ios::trunc).close();
    auto prefs = world.freshPreferences();
    prefs->setObject(PlistValue(log.string()), keys::logPath);
    prefs->setBool(true, keys::useServerLogFile);
    LogParser parser(*prefs, log.string(), 16);
    for (std::size_t offset = 0; offset < size; offset += chunk) {
        const std::size_t length = std::min(chunk, size - offset);
        std::ofstream(log, std::ios::binary | std::ios::app)
            .write(reinterpret_cast<const char*>(data + offset),
                   static_cast<std::streamsize>(length));
        if (parser.ipIsInLogParserStructure("192.0.2.10")) {
            (void)parser.findLoginFromIPString("192.0.2.10");
            (void)parser.findScreenNameFromIPString("192.0.2.10");
        }
    }
    if (prefs->integerForKey(keys::logCursor) > static_cast<std::int64_t>(size)) {
        __builtin_trap();  // the cursor never passes the end of what was written
    }
    return 0;
}
