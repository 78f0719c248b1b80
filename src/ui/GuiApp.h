#pragma once

#include <string>
#include <vector>

namespace quellbox {

// `quellbox` with a window: the Qt application over the shared engine. It picks the packet
// backend (and on the simulated network starts the scenario's clients), loads the main
// interface, starts its controllers, and runs the event loop until the quit sequence ends.
// SIGINT and SIGTERM run the wind-down and quit without asking.
class GuiApp {
public:
    // True when a window can be shown: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set.
    static bool displayAvailable();
    // The options of the window, for --help.
    static std::string usage();
    // Runs the application; answers the process's exit status. SIGINT and SIGTERM must be
    // blocked in every thread already (StopSignals::block).
    static int run(int& argc, char** argv);
};

}  // namespace quellbox
