// Entry point: lowers the effective user to the real one at once (only the firewall command
// and the opening of the packet queue run as root, each raising the effective user around
// itself), then starts the front end.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "headless/HeadlessApp.h"
#include "headless/HeadlessOptions.h"
#include "platform/Privileges.h"
#include "platform/SystemLog.h"

namespace {

bool hasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0) {
            return true;
        }
    }
    return false;
}

int runHeadless(const std::vector<std::string>& arguments) {
    std::string error;
    auto options = quellbox::HeadlessOptions::parse(arguments, error);
    if (!options) {
        std::cerr << "quellbox: " << error << "\n" << quellbox::HeadlessOptions::usage();
        return quellbox::HeadlessApp::kBadUsage;
    }
    if (options->help) {
        std::cout << quellbox::HeadlessOptions::usage();
        return 0;
    }
    quellbox::HeadlessApp app(*options);
    return app.run();
}

}  // namespace

int main(int argc, char** argv) {
    quellbox::HeadlessApp::blockStopSignals();
    if (!quellbox::Privileges::dropToRealUser()) {
        return 1;
    }
    if (hasArgument(argc, argv, "--version")) {
        std::printf("Quellbox %s\n", QUELLBOX_VERSION);
        return 0;
    }
    quellbox::SystemLog::setUseSyslog(true);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = runHeadless(arguments);
    // The engine's threads run until the process ends; leave without running static
    // destructors under them.
    std::fflush(nullptr);
    std::_Exit(status);
}
