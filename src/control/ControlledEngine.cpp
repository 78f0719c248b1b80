#include "control/ControlledEngine.h"

#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "control/EngineServer.h"
#include "engine/EngineSetup.h"
#include "engine/RandomSource.h"
#include "engine/SavedServices.h"
#include "engine/ThroughputLimiter.h"
#include "platform/NotificationCenter.h"
#include "platform/StopSignals.h"
#include "platform/SystemLog.h"
#include "platform/ThreadRunLoop.h"
#include "platform/UserDefaults.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/LocalPriorityMode.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "simulation/FrontEndStart.h"
#include "simulation/SimTraffic.h"
#include "simulation/SimulationRun.h"

namespace quellbox {

namespace {

control::HelloReply greeting(const FrontEndStart::Prepared& prepared,
                             const std::string& settingsProblem) {
    control::HelloReply hello;
    hello.backendName = prepared.backendName;
    hello.fallbackReason = prepared.fallbackReason;
    hello.settingsProblem = settingsProblem;
    if (prepared.simulation) {
        for (const auto& service : prepared.simulation->scenario().services) {
            hello.scenarioServices.push_back({service.name, service.port, service.downloadCapped});
        }
    }
    return hello;
}

// The notifications of the engine's start-up (the packet queue that cannot be opened, no
// network), posted before the server observes them: kept for it.
class StartUpNotices {
public:
    explicit StartUpNotices(NotificationCenter& center) : center_(center) {
        for (const char* name : control::EngineServer::kForwardedNotifications) {
            observers_.push_back(center_.addObserver(name, [this](const Notification& posted) {
                std::lock_guard guard(lock_);
                kept_.push_back(posted);
            }));
        }
    }
    StartUpNotices(const StartUpNotices&) = delete;
    StartUpNotices& operator=(const StartUpNotices&) = delete;
    ~StartUpNotices() { stopObserving(); }

    void handOver(control::EngineServer& server) {
        stopObserving();
        std::lock_guard guard(lock_);
        for (const auto& notification : kept_) {
            server.forward(notification);
        }
        kept_.clear();
    }

private:
    void stopObserving() {
        for (const auto observer : observers_) {
            center_.removeObserver(observer);
        }
        observers_.clear();
    }

    NotificationCenter& center_;
    std::vector<NotificationCenter::ObserverId> observers_;
    std::mutex lock_;
    std::vector<Notification> kept_;  // guarded by lock_
};

}  // namespace

ControlledEngine::ControlledEngine(int controlFd, HeadlessOptions options)
    : controlFd_(controlFd), options_(std::move(options)) {}

int ControlledEngine::run() {
    SystemLog::setEchoToStandardError(options_.verbose);
    Preferences& preferences = Preferences::sharedInstance();
    std::string settingsProblem;
    if (auto problem = preferences.store().loadProblem()) {
        settingsProblem = *problem;
    }
    StartUpNotices startUp(NotificationCenter::defaultCenter());
    std::string error;
    auto prepared = FrontEndStart::prepare(options_.backend, options_.scenario, preferences, error);
    ThreadRunLoop runLoop;
    if (!prepared ||
        !EngineSetup::configureShared(prepared->backendName, runLoop, preferences, error)) {
        std::cerr << "quellbox-engine: " << error << std::endl;
        return kBadUsage;
    }
    RandomSource::shared().seedFromTimeOfDay();
    ThroughputLimiter& engine = ThroughputLimiter::sharedInstance();
    LocalPriorityMode priorityMode(IPMode::sharedInstance());
    control::EngineServer server(control::EngineServer::Collaborators{
        controlFd_, engine, priorityMode, preferences, NotificationCenter::defaultCenter(), runLoop,
        greeting(*prepared, settingsProblem),
        [&engine] { return TrafficTotals::of(engine.counters()); }});
    startUp.handOver(server);
    if (prepared->simulation) {
        prepared->simulation->traffic().start();
    }
    // SIGINT and SIGTERM end the serving; the wind-down follows.
    StopSignals::watch([&server] { server.stop(); });

    // Requests run on the main run loop, which takes work only while it runs: serving starts
    // from inside it.
    std::string ending;
    std::thread serving;
    runLoop.performOnMainThread(
        [&] {
            serving = std::thread([&] {
                ending = server.serve();
                runLoop.performOnMainThread([&runLoop] { runLoop.stop(); }, false);
            });
        },
        false);
    runLoop.run();
    serving.join();
    if (!ending.empty()) {
        SystemLog::log("the control connection ended: " + ending);
        std::cerr << "quellbox-engine: " << ending << std::endl;
    }

    // What the window did not release (it quit abruptly, or the connection broke): the same
    // wind-down as the window's quit, from the rate the engine paces at now.
    const auto capped = server.cappedServices();
    if (!capped.empty()) {
        preferences.setFloat(engine.getDATARate(), keys::DATARate);
        SavedServices::windDown(engine, preferences, capped, [](std::chrono::milliseconds pause) {
            std::this_thread::sleep_for(pause);
        });
    }
    if (prepared->simulation) {
        prepared->simulation->traffic().stop();
    }
    return ending.empty() ? 0 : 1;
}

}  // namespace quellbox
