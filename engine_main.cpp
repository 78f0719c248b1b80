// quellbox-engine: the engine process, without Qt. It holds the capabilities the kernel's
// packet queue needs (CAP_NET_ADMIN, CAP_NET_RAW: file capabilities of the installed
// program) and runs as the user who starts it. With --control-fd it serves the desktop
// window over that socket; otherwise it is the headless mode (`quellbox --headless` runs it).
#include <fcntl.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "control/ControlledEngine.h"
#include "headless/HeadlessApp.h"
#include "headless/HeadlessOptions.h"
#include "platform/StopSignals.h"
#include "platform/SystemLog.h"

namespace {

constexpr int kBadUsage = 2;

// The descriptor after --control-fd, taken out of `arguments`: -1 when absent, -2 (with the
// reason) when it is not an open socket.
int takeControlFd(std::vector<std::string>& arguments, std::string& error) {
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (*it != "--control-fd") {
            continue;
        }
        if (std::next(it) == arguments.end()) {
            error = "--control-fd needs a descriptor number";
            return -2;
        }
        const std::string& text = *std::next(it);
        int fd = -1;
        const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), fd);
        struct stat status {};
        if (failure != std::errc() || end != text.data() + text.size() || fd < 3 ||
            ::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) {
            error = "--control-fd " + text + " is not an open socket";
            return -2;
        }
        // Not handed on to the programs the engine runs.
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            error = "--control-fd " + text + ": " + std::strerror(errno);
            return -2;
        }
        arguments.erase(it, it + 2);
        return fd;
    }
    return -1;
}

int run(std::vector<std::string> arguments) {
    for (const auto& argument : arguments) {
        if (argument == "--version") {
            std::printf("Quellbox %s\n", QUELLBOX_VERSION);
            return 0;
        }
        if (argument == "--help" || argument == "-h") {
            std::cout << quellbox::HeadlessOptions::usage();
            return 0;
        }
    }
    std::string error;
    const int controlFd = takeControlFd(arguments, error);
    auto options =
        controlFd == -2 ? std::nullopt : quellbox::HeadlessOptions::parse(arguments, error);
    if (!options) {
        std::cerr << "quellbox: " << error << "\n" << quellbox::HeadlessOptions::usage();
        return kBadUsage;
    }
    if (controlFd >= 0) {
        return quellbox::ControlledEngine(controlFd, *options).run();
    }
    return quellbox::HeadlessApp(*options).run();
}

}  // namespace

int main(int argc, char** argv) {
    quellbox::StopSignals::block();
    quellbox::SystemLog::setUseSyslog(true);
    const int status = run(std::vector<std::string>(argv + 1, argv + argc));
    // The engine's threads run until the process ends; leave without running static
    // destructors under them.
    std::fflush(nullptr);
    std::_Exit(status);
}
