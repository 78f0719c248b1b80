#pragma once

#include "headless/HeadlessOptions.h"

namespace quellbox {

// `quellbox-engine --control-fd N`: the engine for the desktop window. Sets up the backend
// the options name (the simulated network with its scenario, or the kernel's packet queue),
// serves the window over the control socket until the window closes it (or SIGINT, SIGTERM),
// then runs the wind-down for whatever the window left capped.
class ControlledEngine {
public:
    static constexpr int kBadUsage = 2;

    ControlledEngine(int controlFd, HeadlessOptions options);
    // The process's exit status: 0 after the window's orderly close, 1 when the connection
    // broke, kBadUsage when the engine could not be set up.
    int run();

private:
    int controlFd_;
    HeadlessOptions options_;
};

}  // namespace quellbox
