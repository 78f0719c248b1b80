#include "headless/HeadlessApp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "engine/EngineSetup.h"
#include "engine/RandomSource.h"
#include "engine/SavedServices.h"
#include "engine/ScheduledRates.h"
#include "engine/ThroughputLimiter.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimKernel.h"
#include "firewall/StaleRules.h"
#include "headless/MetricsEndpoint.h"
#include "platform/NotificationCenter.h"
#include "platform/StopSignals.h"
#include "platform/SystemLog.h"
#include "platform/ThreadRunLoop.h"
#include "platform/UserDefaults.h"
#include "prioritymode/GenericIPTable.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/UserInfo.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/RateSchedule.h"
#include "settings/Service.h"
#include "simulation/FrontEndStart.h"
#include "simulation/SimTraffic.h"
#include "simulation/SimulationRun.h"

namespace quellbox {

namespace {

double secondsNow() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

HeadlessApp::HeadlessApp(HeadlessOptions options) : options_(std::move(options)) {}

HeadlessApp::~HeadlessApp() {
    if (statsFile_ != nullptr) {
        std::fclose(statsFile_);
    }
}

void HeadlessApp::fail(const std::string& message) { std::cerr << "quellbox: " << message << "\n"; }

int HeadlessApp::run() {
    SystemLog::setEchoToStandardError(options_.verbose);
    if (options_.cleanup) {
        return cleanUp();
    }
    if (!prepare()) {
        return kBadUsage;
    }
    runLoop_ = std::make_unique<ThreadRunLoop>();
    installObservers();
    RandomSource::shared().seedFromTimeOfDay();

    std::string error;
    if (!EngineSetup::configureShared(backendName_, *runLoop_, *preferences_, error)) {
        fail(error);
        return kBadUsage;
    }
    engine_ = &ThroughputLimiter::sharedInstance();
    capServices();
    if (options_.priorityMode) {
        IPMode::sharedInstance().activate(true);
    }
    if (simulation_) {
        simulation_->traffic().start();
    }
    startTimers();
    startSignalWatcher();
    std::cout << "Quellbox " << QUELLBOX_VERSION << " headless on the " << backendName_
              << " backend; Ctrl-C stops." << std::endl;
    if (metrics_) {
        metrics_->start(*engine_, IPMode::sharedInstance());
        std::cout << "Metrics on http://" << options_.metrics->host << ":" << metrics_->port()
                  << "/metrics" << std::endl;
    }

    runLoop_->run();

    std::cout << "Winding down: lowering the rate and removing the divert rules..." << std::endl;
    schedule_->release();
    SavedServices::windDown(
        *engine_, *preferences_, services_,
        [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); });
    if (simulation_) {
        simulation_->traffic().stop();
    }
    if (statsFile_ != nullptr && std::fflush(statsFile_) != 0) {
        stopStatistics();
    }
    std::cout << "Stopped." << std::endl;
    return exitStatus_;
}

int HeadlessApp::cleanUp() {
    std::string name = options_.backend;
    if (name.empty()) {
        const auto choice = PacketBackend::chooseDefault();
        name = choice.name;
        if (!choice.reason.empty()) {
            std::cout << choice.reason << std::endl;
        }
    }
    std::string reason;
    const auto backend = PacketBackend::named(name, &reason);
    if (!backend) {
        fail(reason);
        return kBadUsage;
    }
    std::string report;
    const int removed =
        StaleRules::removeAll(backend->programs(), ThroughputLimiter::kDivertPort, report);
    std::cout << "Clean-up on the " << name << " backend: " << report << std::endl;
    return removed < 0 ? 1 : 0;
}

bool HeadlessApp::prepare() {
    if (!options_.statsJson.empty()) {
        statsFile_ = std::fopen(options_.statsJson.c_str(), "w");
        if (statsFile_ == nullptr) {
            fail("can't write the statistics file " + options_.statsJson + ": " +
                 std::strerror(errno));
            return false;
        }
    }
    if (options_.metrics) {
        // Bound before the engine starts, so that an address in use is refused as a bad option.
        metrics_ = std::make_unique<MetricsEndpoint>();
        std::string error;
        if (!metrics_->listen(*options_.metrics, error)) {
            fail(error);
            return false;
        }
    }
    preferences_ = &Preferences::sharedInstance();
    if (auto problem = preferences_->store().loadProblem()) {
        std::cerr << "quellbox: " << *problem << "\n";
    }
    std::string error;
    auto prepared =
        FrontEndStart::prepare(options_.backend, options_.scenario, *preferences_, error);
    if (!prepared) {
        fail(error);
        return false;
    }
    backendName_ = prepared->backendName;
    if (!prepared->fallbackReason.empty()) {
        std::cout << prepared->fallbackReason << std::endl;
    }
    simulation_ = std::move(prepared->simulation);
    return true;
}

void HeadlessApp::capServices() {
    services_ = SavedServices::load(*preferences_);
    SavedServices::reapplySavedCaps(*engine_, services_,
                                    SavedServices::activatedFlags(*preferences_, services_.size()));
    if (simulation_) {
        // The scenario's services are capped for this run (their downloads too when marked).
        FrontEndStart::capScenarioServices(*engine_, simulation_->scenario(), services_);
    }
    if (options_.ackPause || options_.downloadRate) {
        for (const auto& service : services_) {
            if (service->uploadIsCapped() && engine_->addDLService(service) == 0) {
                service->setDownloadIsCapped(true);
            }
        }
    }
    if (options_.ackPause) {
        engine_->setACKPause(*options_.ackPause);
    }
    if (options_.downloadRate) {
        preferences_->setBool(true, keys::downloadRateMode);
        preferences_->setFloat(*options_.downloadRate, keys::downloadRate);
        engine_->setDownloadRate(true, *options_.downloadRate);
    }
    if (options_.rate) {
        preferences_->setFloat(*options_.rate, keys::DATARate);
    }
    engine_->setDATARate(preferences_->floatForKey(keys::DATARate));
    if (options_.maxQueueDelay) {
        preferences_->setInteger(*options_.maxQueueDelay, keys::maxQueueDelay);
        engine_->setMaxQueueDelay(std::chrono::milliseconds(*options_.maxQueueDelay));
    }
    schedule_ =
        std::make_unique<ScheduledRates>(*engine_, RateSchedule::fromPreferences(*preferences_));
    applySchedule();
}

// Checked at every status line: a period starts or ends within a second of its minute.
std::string HeadlessApp::applySchedule() {
    const auto period = schedule_->update(RateSchedule::localNow());
    return period ? "  |  " + RateSchedule::describe(*period) : std::string();
}

void HeadlessApp::installObservers() {
    auto& center = NotificationCenter::defaultCenter();
    center.addObserver("genericIpfwProblemNotification", [this](const Notification& n) {
        const auto field = [&](const char* key) {
            auto found = n.userInfo.find(key);
            return found == n.userInfo.end() ? std::string() : found->second.stringValue();
        };
        std::cerr << "quellbox: " << field("title") << "\n" << field("msg") << std::endl;
        auto quit = n.userInfo.find("needToQuitAfterAlert");
        if (quit != n.userInfo.end() && quit->second.boolValue()) {
            exitStatus_ = 1;
            runLoop_->performOnMainThread([this] { runLoop_->stop(); }, false);
        }
    });
    center.addObserver("noNetworkNotification", [this](const Notification&) {
        std::cerr << "quellbox: no network connection was found; Quellbox stops." << std::endl;
        exitStatus_ = 1;
        runLoop_->performOnMainThread([this] { runLoop_->stop(); }, false);
    });
}

void HeadlessApp::startTimers() {
    started_ = secondsNow();
    if (simulation_) {
        lastTotalBytes_ = simulation_->kernel().wire().totalBytes();
    }
    runLoop_->scheduleRepeatingTimer(std::chrono::seconds(1), [this] { report(); });
    if (options_.duration) {
        runLoop_->scheduleRepeatingTimer(std::chrono::duration<double>(*options_.duration),
                                         [this] { runLoop_->stop(); });
    }
}

void HeadlessApp::startSignalWatcher() {
    StopSignals::watch(
        [this] { runLoop_->performOnMainThread([this] { runLoop_->stop(); }, false); });
}

HeadlessStats HeadlessApp::sample() {
    HeadlessStats stats;
    const double now = secondsNow();
    stats.time = now - started_;
    stats.backend = backendName_;
    stats.rateCap = engine_->getDATARate();
    stats.ackPause = engine_->getACKPause();
    if (engine_->isDownloadRateOn()) {
        stats.downloadRateCap = engine_->getDownloadRate();
    }
    stats.lastAckBytes = engine_->lastACKPacketSize();
    stats.lastDataBytes = engine_->lastDATAPacketSize();
    stats.queuePackets = engine_->queueSize();
    stats.standBy = engine_->isInStandBy();
    stats.priorityMode = IPMode::sharedInstance().isActivated();
    const auto counters = engine_->counters();
    stats.packetsRead = counters.read;
    stats.packetsWrittenBack = counters.writtenBack;
    stats.dataBytes = counters.dataBytes;
    stats.unpacedDataBytes = counters.unpacedDataBytes;
    stats.ackBytes = counters.ackBytes;
    trafficRates_.addTotals(TrafficRates::Clock::now(), TrafficTotals::of(counters));
    stats.rates = trafficRates_.rates();
    IPTable* active = stats.priorityMode ? IPMode::sharedInstance().ipTable() : nullptr;
    auto priorityOf = [&](std::uint32_t ip) -> std::optional<int> {
        if (active != nullptr) {
            if (auto info = active->userInfoForIPLong(ip)) {
                return info->priority();
            }
        }
        return std::nullopt;
    };

    if (simulation_) {
        const SimWire& wire = simulation_->kernel().wire();
        const std::uint64_t total = wire.totalBytes();
        stats.uploadBytes = total - lastTotalBytes_;
        lastTotalBytes_ = total;
        for (const auto& client : simulation_->traffic().snapshot()) {
            HeadlessStats::Client entry;
            entry.address = client.address;
            entry.login = client.login;
            entry.name = client.screenName;
            entry.kind = SimScenario::kindName(client.kind);
            entry.port = client.port;
            const std::uint64_t received = wire.bytesTo(client.address);
            entry.wireBytes = received - lastWire_[client.address];
            lastWire_[client.address] = received;
            entry.deliveredBytes = client.deliveredBytes - lastDelivered_[client.address];
            lastDelivered_[client.address] = client.deliveredBytes;
            entry.priority = priorityOf(GenericIPTable::convertStringToLong(client.address));
            if (client.active || entry.wireBytes > 0) {
                stats.clients.push_back(entry);
            }
        }
    } else if (active != nullptr) {
        for (const std::uint32_t ip : active->ipArray()) {
            if (auto info = active->userInfoForIPLong(ip)) {
                HeadlessStats::Client entry;
                entry.address = GenericIPTable::convertLongToString(ip);
                entry.login = info->login();
                entry.name = info->screenName();
                entry.kind = "client";
                entry.priority = info->priority();
                stats.clients.push_back(entry);
            }
        }
    }
    return stats;
}

void HeadlessApp::report() {
    if (metrics_) {
        metrics_->copyClients();
    }
    const std::string scheduleNote = applySchedule();
    const HeadlessStats stats = sample();
    std::cout << stats.statusLine() << scheduleNote << std::endl;
    if (statsFile_ != nullptr && (std::fputs((stats.json() + "\n").c_str(), statsFile_) < 0 ||
                                  std::fflush(statsFile_) != 0)) {
        stopStatistics();
    }
}

// A statistics file that can no longer be written (a full disk) ends the statistics, not the
// shaping; the exit status tells that they are incomplete.
void HeadlessApp::stopStatistics() {
    fail("can't write the statistics file " + options_.statsJson + ": " + std::strerror(errno) +
         "; no more statistics are written");
    std::fclose(statsFile_);
    statsFile_ = nullptr;
    exitStatus_ = 1;
}

}  // namespace quellbox
