// Any bytes as a scenario file of the simulated network.
#include "simulation/SimScenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    std::string error;
    const auto scenario =
        SimScenario::parse(std::string(reinterpret_cast<const char*>(data), size), error);
    if (scenario) {
        (void)scenario->defaultPrioritiesText();
    } else if (error.empty()) {
        __builtin_trap();
    }
    return 0;
}
