#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "firewall/SimWire.h"
#include "simulation/SimScenario.h"

namespace quellbox {

class SimKernel;

// The hosts of the simulated network: remote clients that download from the local server,
// upload to it, or receive the local machine's own uploads, as a scenario describes. Data
// flows with a TCP-like window: a sender keeps at most `window` segments unacknowledged and
// sends the next one when an acknowledgement comes back, so whatever holds packets back
// (the engine's pacing, held acknowledgements) sets the rate, as on a real network. Each
// remote client's own link carries at most its demand.
//
// Outgoing packets of the local machine go into the simulated kernel (and so through the
// engine where a divert rule catches them); the remote side reacts to what leaves on the
// wire. A segment that never leaves (dropped by the engine) is resent after a time-out that
// follows the observed queueing delay. When clients start, their lines are appended to the
// server's "Downloads" log so that Priority Mode can name them.
class SimTraffic {
public:
    using Clock = std::chrono::steady_clock;

    struct ClientStats {
        std::string address;
        std::string login;
        std::string screenName;
        SimScenario::Kind kind;
        int port = 0;
        bool active = false;
        std::uint64_t deliveredBytes = 0;  // data that reached its receiver and was acknowledged
        std::uint64_t resent = 0;          // segments resent after a time-out
    };

    SimTraffic(SimKernel& kernel, SimScenario scenario, std::filesystem::path downloadsLog);
    ~SimTraffic();
    SimTraffic(const SimTraffic&) = delete;
    SimTraffic& operator=(const SimTraffic&) = delete;

    void start();
    void stop();
    std::vector<ClientStats> snapshot() const;

private:
    struct Segment {
        Clock::time_point injected;
        int size = 0;
    };
    struct Flow {
        SimScenario::Client client;
        std::uint16_t localPort = 0;   // the local end's TCP port
        std::uint16_t remotePort = 0;  // the remote end's TCP port
        bool active = false;
        int inFlight = 0;
        std::uint32_t nextSequence = 1;
        // The local server's acknowledgement number for an uploading client: the next byte it
        // expects, counted in bytes as TCP counts them.
        std::uint32_t acknowledged = 0;
        std::map<std::uint32_t, Segment> pending;  // sent, not yet seen leaving (local sends)
        Clock::time_point linkFree{};              // when the remote link is free again
        double queueDelaySeconds = 0.0;            // smoothed time from injection to the wire
        double backoff = 1.0;                      // doubles with every time-out, as TCP's does
        std::uint64_t deliveredBytes = 0;
        std::uint64_t resent = 0;
    };
    enum class EventType { Start, Stop, Acknowledged, ArrivedAtServer, CheckTimeouts };
    struct Event {
        EventType type;
        std::size_t flow;
        int size = 0;
    };
    using Packets = std::vector<std::vector<std::uint8_t>>;

    void run();
    void handle(const Event& event, Clock::time_point now, Packets& out);
    void fillWindow(std::size_t index, Clock::time_point now, Packets& out);
    std::vector<std::uint8_t> dataSegment(Flow& flow, Clock::time_point now);
    std::vector<std::uint8_t> serverAcknowledgement(Flow& flow, std::uint32_t sequence);
    void departed(const std::uint8_t* bytes, std::size_t length, Clock::time_point when);
    void schedule(Clock::time_point when, Event event);
    void appendLogLine(const SimScenario::Client& client);
    double timeoutSeconds(const Flow& flow) const;

    SimKernel& kernel_;
    std::filesystem::path downloadsLog_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Flow> flows_;                         // guarded by mutex_
    std::multimap<Clock::time_point, Event> events_;  // guarded by mutex_
    bool stopping_ = false;                           // guarded by mutex_
    SimWire::ObserverId observer_ = 0;
    bool observing_ = false;
    std::thread thread_;
};

}  // namespace quellbox
