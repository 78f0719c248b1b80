// Entry point: lowers the effective user to the real one at once (only the firewall command
// and the opening of the packet queue run as root, each raising the effective user around
// itself), then starts the front end: the window when there is a display, else (or with
// --headless) the headless mode.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "headless/HeadlessApp.h"
#include "headless/HeadlessOptions.h"
#include "platform/Privileges.h"
#include "platform/SystemLog.h"
#ifdef QUELLBOX_HAVE_GUI
#include "ui/GuiApp.h"
#endif

namespace {

bool hasArgument(int argc, char** argv, const char* wanted, const char* alias = nullptr) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0 ||
            (alias != nullptr && std::strcmp(argv[i], alias) == 0)) {
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
    quellbox::HeadlessApp app(*options);
    return app.run();
}

void printUsage() {
#ifdef QUELLBOX_HAVE_GUI
    std::cout << quellbox::GuiApp::usage() << "\n";
#endif
    std::cout << quellbox::HeadlessOptions::usage();
}

int run(int& argc, char** argv) {
    if (hasArgument(argc, argv, "--version")) {
        std::printf("Quellbox %s\n", QUELLBOX_VERSION);
        return 0;
    }
    if (hasArgument(argc, argv, "--help", "-h")) {
        printUsage();
        return 0;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (hasArgument(argc, argv, "--headless")) {
        return runHeadless(arguments);
    }
#ifdef QUELLBOX_HAVE_GUI
    if (quellbox::GuiApp::displayAvailable()) {
        return quellbox::GuiApp::run(argc, argv);
    }
    std::cout << "quellbox: no display (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset); "
                 "running the headless mode."
              << std::endl;
#else
    std::cout << "quellbox: this build has no window; running the headless mode." << std::endl;
#endif
    return runHeadless(arguments);
}

}  // namespace

int main(int argc, char** argv) {
    quellbox::HeadlessApp::blockStopSignals();
    if (!quellbox::Privileges::dropToRealUser()) {
        return 1;
    }
    quellbox::SystemLog::setUseSyslog(true);
    const int status = run(argc, argv);
    // The engine's threads run until the process ends; leave without running static
    // destructors under them.
    std::fflush(nullptr);
    std::_Exit(status);
}
