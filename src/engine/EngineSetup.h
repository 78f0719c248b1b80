#pragma once

#include <string>

namespace quellbox {

class Preferences;
class RunLoop;

// Makes the application's engine over a packet backend: the backend's divert socket, a rule
// manager with its programs, the given main run loop, the settings, the shared Priority Mode
// coordinator, the default notification centre and the shared random source. Both front ends
// call it once at start, before ThroughputLimiter::sharedInstance().
class EngineSetup {
public:
    // False (with the reason) when the backend is unknown or not in this build.
    static bool configureShared(const std::string& backendName, RunLoop& mainRunLoop,
                                Preferences& preferences, std::string& error);
};

}  // namespace quellbox
