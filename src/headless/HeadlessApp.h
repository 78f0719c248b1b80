#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "headless/HeadlessOptions.h"
#include "headless/HeadlessStats.h"

namespace quellbox {

class MetricsEndpoint;
class Preferences;
class ScheduledRates;
class Service;
class SimulationRun;
class ThreadRunLoop;
class ThroughputLimiter;

// `quellbox --headless`: the engine without a window. Loads the settings, restores the capped
// services as the main window does, applies the rate, optionally switches Priority Mode on,
// prints one status line per second (and JSON statistics when asked), and on SIGINT, SIGTERM
// or the end of --duration runs the same wind-down as the window's quit.
class HeadlessApp {
public:
    static constexpr int kBadUsage = 2;

    explicit HeadlessApp(HeadlessOptions options);
    ~HeadlessApp();
    HeadlessApp(const HeadlessApp&) = delete;
    HeadlessApp& operator=(const HeadlessApp&) = delete;

    // Runs until stopped; answers the process's exit status.
    int run();

private:
    // --cleanup: removes the divert rules a killed run left behind; the exit status.
    int cleanUp();
    bool prepare();
    void capServices();
    // Puts the period of the rate schedule in force now into effect; its note, or nothing.
    std::string applySchedule();
    void installObservers();
    void startTimers();
    void report();
    void stopStatistics();
    HeadlessStats sample();
    void startSignalWatcher();
    void fail(const std::string& message);

    HeadlessOptions options_;
    std::string backendName_;
    std::unique_ptr<ThreadRunLoop> runLoop_;
    Preferences* preferences_ = nullptr;
    ThroughputLimiter* engine_ = nullptr;
    std::unique_ptr<ScheduledRates> schedule_;
    std::unique_ptr<SimulationRun> simulation_;
    std::vector<std::shared_ptr<Service>> services_;
    std::FILE* statsFile_ = nullptr;
    std::unique_ptr<MetricsEndpoint> metrics_;  // with --metrics
    double started_ = 0.0;
    std::uint64_t lastTotalBytes_ = 0;
    TrafficRates trafficRates_;
    std::map<std::string, std::uint64_t> lastWire_;
    std::map<std::string, std::uint64_t> lastDelivered_;
    int exitStatus_ = 0;
};

}  // namespace quellbox
