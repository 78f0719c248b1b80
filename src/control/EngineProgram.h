#pragma once

#include <string>

namespace quellbox::control {

// Where the engine program is. Beside this program (the installed bin/ and the build tree
// alike), unless $QUELLBOX_ENGINE names another. The installed one may only be run by the
// group quellbox; for anybody else the unprivileged copy under libexec/quellbox runs the
// simulated network, and `reason` says why real traffic is out of reach.
class EngineProgram {
public:
    static std::string locate(std::string& reason);
};

}  // namespace quellbox::control
