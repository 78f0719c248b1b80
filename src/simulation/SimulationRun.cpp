#include "simulation/SimulationRun.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/AtomicFile.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "simulation/SimTraffic.h"

namespace quellbox {

std::filesystem::path SimulationRun::defaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        return std::filesystem::path(runtime) / "quellbox-sim";
    }
    return "/tmp/quellbox-sim-" + std::to_string(getuid());
}

std::unique_ptr<SimulationRun> SimulationRun::prepare(const std::string& scenarioPath,
                                                      Preferences& preferences, SimKernel& kernel,
                                                      std::string& error) {
    auto scenario = scenarioPath.empty() ? SimScenario::parse(SimScenario::demoText(), error)
                                         : SimScenario::load(scenarioPath, error);
    if (!scenario) {
        return nullptr;
    }
    const auto folder = defaultFolder();
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    const auto log = folder / "Downloads";
    if (made || !AtomicFile::write(log, "") ||
        !AtomicFile::write(folder / "Quellbox Default Priorities.txt",
                           scenario->defaultPrioritiesText())) {
        error = "can't prepare the simulation folder " + folder.string();
        return nullptr;
    }
    // The simulated server's log names the clients; these values are not meant to be saved.
    preferences.setObject(PlistValue(log.string()), keys::logPath);
    preferences.setBool(true, keys::useServerLogFile);
    preferences.setInteger(0, keys::cursorBegin);
    preferences.setInteger(0, keys::logCursor);
    return std::unique_ptr<SimulationRun>(new SimulationRun(std::move(*scenario), kernel, log));
}

SimulationRun::SimulationRun(SimScenario scenario, SimKernel& kernel, std::filesystem::path logPath)
    : scenario_(std::move(scenario)),
      kernel_(kernel),
      logPath_(std::move(logPath)),
      traffic_(std::make_unique<SimTraffic>(kernel_, scenario_, logPath_)) {}

SimulationRun::~SimulationRun() = default;

}  // namespace quellbox
