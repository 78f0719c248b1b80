// Entry point of `quellbox`: the desktop window when there is a display; otherwise, and with
// --headless or --cleanup, it becomes the engine program (quellbox-engine) with the same
// arguments. This process never holds a privilege: Qt loads plugins that the environment
// chooses, so it refuses to run with any root user id or any capability.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "control/EngineProgram.h"
#include "headless/HeadlessOptions.h"
#include "platform/Capabilities.h"
#include "platform/StopSignals.h"
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

// Replaces this process with the engine program; answers only when that fails.
int becomeEngine(char** argv) {
    std::string reason;
    const std::string engine = quellbox::control::EngineProgram::locate(reason);
    if (!reason.empty()) {
        std::cout << reason << std::endl;
    }
    std::vector<char*> arguments{const_cast<char*>(engine.c_str())};
    for (char** argument = argv + 1; *argument != nullptr; ++argument) {
        arguments.push_back(*argument);
    }
    arguments.push_back(nullptr);
    ::execv(engine.c_str(), arguments.data());
    std::cerr << "quellbox: cannot run " << engine << ": " << std::strerror(errno) << std::endl;
    return 1;
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
    if (hasArgument(argc, argv, "--headless") || hasArgument(argc, argv, "--cleanup")) {
        return becomeEngine(argv);
    }
#ifdef QUELLBOX_HAVE_GUI
    if (quellbox::GuiApp::displayAvailable()) {
        if (quellbox::Capabilities::isPrivileged()) {
            std::cerr << "quellbox: the window does not run as root or with capabilities (Qt "
                         "loads plugins that the environment names); run it as yourself, in the "
                         "group quellbox to shape real traffic, or use --headless"
                      << std::endl;
            return 1;
        }
        return quellbox::GuiApp::run(argc, argv);
    }
    std::cout << "quellbox: no display (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset); "
                 "running the headless mode."
              << std::endl;
#else
    std::cout << "quellbox: this build has no window; running the headless mode." << std::endl;
#endif
    return becomeEngine(argv);
}

}  // namespace

int main(int argc, char** argv) {
    quellbox::StopSignals::block();
    quellbox::SystemLog::setUseSyslog(true);
    const int status = run(argc, argv);
    // The engine's threads run until the process ends; leave without running static
    // destructors under them.
    std::fflush(nullptr);
    std::_Exit(status);
}
