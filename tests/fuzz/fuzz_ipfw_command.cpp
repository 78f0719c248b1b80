// Any command line for the firewall tool: arguments separated by NUL bytes.
#include "FuzzSupport.h"
#include "firewall/IpfwCommand.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quellbox;
    const auto arguments = fuzzing::split(data, size, '\0');
    std::string error;
    if (const auto command = IpfwCommand::parse(arguments, &error)) {
        (void)command->listingLine();
    } else if (error.empty()) {
        __builtin_trap();  // a refusal always says why
    }
    return 0;
}
