#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simulation/SimScenario.h"

namespace quellbox {

class EngineControls;
class Preferences;
class Service;
class SimulationRun;

// What the desktop window and the headless mode do alike before the engine exists: pick the
// packet backend and, on the simulated network, prepare the scenario's run; and, once the
// saved caps are re-applied, cap the scenario's own services for the run.
class FrontEndStart {
public:
    struct Prepared {
        std::string backendName;
        // Why the default backend is not the preferred one (empty otherwise); for the user.
        std::string fallbackReason;
        // The simulated network's run, on the sim backend only.
        std::unique_ptr<SimulationRun> simulation;
    };

    // The requested backend, or PacketBackend::chooseDefault() when `requestedBackend` is
    // empty; on sim, the run of the scenario at `scenarioPath` (the demo when empty).
    // Nothing, with the reason in `error`, when the backend is unknown or not in this build,
    // when a scenario is given for another backend, or when the scenario cannot be read.
    static std::optional<Prepared> prepare(const std::string& requestedBackend,
                                           const std::string& scenarioPath,
                                           Preferences& preferences, std::string& error);

    // Caps the scenario's services at the engine for this run (a service marked "download"
    // has both directions capped) and marks them. A service that `services` lacks is
    // appended to it; answers the services appended, in scenario order.
    static std::vector<std::shared_ptr<Service>> capScenarioServices(
        EngineControls& engine, const SimScenario& scenario,
        std::vector<std::shared_ptr<Service>>& services);
};

}  // namespace quellbox
