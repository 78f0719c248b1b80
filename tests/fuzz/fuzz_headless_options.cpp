// Any command line of the headless mode: arguments separated by NUL bytes.
#include "FuzzSupport.h"
#include "headless/HeadlessOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    std::string error;
    if (!HeadlessOptions::parse(fuzzing::split(data, size, '\0'), error) && error.empty()) {
        __builtin_trap();
    }
    return 0;
}
