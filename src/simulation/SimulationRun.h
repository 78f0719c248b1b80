#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "simulation/SimScenario.h"

namespace quellbox {

class Preferences;
class SimKernel;
class SimTraffic;

// A run on the simulated network, as both front ends start it: the scenario's clients, a
// private folder with the simulated server's "Downloads" log and the scenario's default
// priorities, and the settings pointed at that log for this run (the working copy only).
class SimulationRun {
public:
    // Reads the scenario (the demo when `scenarioPath` is empty) and prepares the folder; on
    // failure answers nothing with the reason in `error`.
    static std::unique_ptr<SimulationRun> prepare(const std::string& scenarioPath,
                                                  Preferences& preferences, SimKernel& kernel,
                                                  std::string& error);
    ~SimulationRun();

    // The folder of the run's log: $XDG_RUNTIME_DIR/quellbox-sim, else /tmp/quellbox-sim-<uid>.
    static std::filesystem::path defaultFolder();

    const SimScenario& scenario() const { return scenario_; }
    SimTraffic& traffic() { return *traffic_; }
    SimKernel& kernel() { return kernel_; }
    const std::filesystem::path& logPath() const { return logPath_; }

private:
    SimulationRun(SimScenario scenario, SimKernel& kernel, std::filesystem::path logPath);

    SimScenario scenario_;
    SimKernel& kernel_;
    std::filesystem::path logPath_;
    std::unique_ptr<SimTraffic> traffic_;
};

}  // namespace quellbox
