// Entry point: lowers the effective user to the real one at once (only the firewall command
// and the opening of the packet queue run as root, each raising the effective user around
// itself), then starts the front end.
#include <cstdio>
#include <cstring>

#include "platform/Privileges.h"

int main(int argc, char** argv) {
    if (!quellbox::Privileges::dropToRealUser()) {
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Quellbox %s\n", QUELLBOX_VERSION);
            return 0;
        }
    }
    std::fprintf(stderr,
                 "Quellbox %s: the desktop and headless front ends are not built yet; "
                 "this build holds the core library and its tests.\n",
                 QUELLBOX_VERSION);
    return 0;
}
