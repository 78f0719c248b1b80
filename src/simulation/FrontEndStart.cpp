#include "simulation/FrontEndStart.h"

#include <algorithm>

#include "engine/EngineControls.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "settings/Service.h"
#include "simulation/SimulationRun.h"

namespace quellbox {

std::optional<FrontEndStart::Prepared> FrontEndStart::prepare(const std::string& requestedBackend,
                                                              const std::string& scenarioPath,
                                                              Preferences& preferences,
                                                              std::string& error) {
    Prepared prepared;
    if (!requestedBackend.empty()) {
        if (!PacketBackend::named(requestedBackend, &error)) {
            return std::nullopt;
        }
        prepared.backendName = requestedBackend;
    } else {
        auto choice = PacketBackend::chooseDefault();
        prepared.backendName = std::move(choice.name);
        prepared.fallbackReason = std::move(choice.reason);
    }
    if (prepared.backendName != "sim") {
        if (!scenarioPath.empty()) {
            error = "--scenario describes simulated clients: it needs --backend sim";
            return std::nullopt;
        }
        return prepared;
    }
    prepared.simulation =
        SimulationRun::prepare(scenarioPath, preferences, SimKernel::sharedInstance(), error);
    if (!prepared.simulation) {
        return std::nullopt;
    }
    return prepared;
}

std::vector<std::shared_ptr<Service>> FrontEndStart::capScenarioServices(
    EngineControls& engine, const SimScenario& scenario,
    std::vector<std::shared_ptr<Service>>& services) {
    std::vector<std::shared_ptr<Service>> appended;
    for (const auto& entry : scenario.services) {
        auto service = std::make_shared<Service>(entry.name, entry.port);
        auto existing = std::find_if(services.begin(), services.end(),
                                     [&](const auto& s) { return s->isEqual(*service); });
        if (existing == services.end()) {
            services.push_back(service);
            appended.push_back(service);
        } else {
            service = *existing;
        }
        const int result =
            entry.downloadCapped ? engine.addDLService(service) : engine.addULService(service);
        if (result == 0) {
            service->setUploadIsCapped(true);
            service->setDownloadIsCapped(service->downloadIsCapped() || entry.downloadCapped);
        }
    }
    return appended;
}

}  // namespace quellbox
