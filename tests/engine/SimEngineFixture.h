#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "TempDir.h"
#include "engine/RandomSource.h"
#include "engine/ThroughputLimiter.h"
#include "firewall/SimKernel.h"
#include "firewall/TcpPacketBuilder.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadRunLoop.h"
#include "platform/UserDefaults.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/Preferences.h"

namespace quellbox::testing {

// A whole engine over the simulated network, with its own settings, firewall state, run loop
// and notification centre. Packets injected into the kernel from the local server
// (192.0.2.1) go through the engine when their port is capped and come out on the wire,
// where the fixture records them.
class SimEngineFixture {
public:
    struct Departure {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point when;
    };

    SimEngineFixture();
    ~SimEngineFixture();

    static constexpr const char* kServer = "192.0.2.1";
    ThroughputLimiter& engine() { return *engine_; }
    SimKernel& kernel() { return *kernel_; }
    IPMode& ipmode() { return *ipmode_; }
    defaultPriorityParser& priorities() { return *priorities_; }
    Preferences& preferences() { return *preferences_; }
    NotificationCenter& notifications() { return notifications_; }
    const TempDir& folder() const { return folder_; }

    // A server packet of `length` bytes from the local server's `port` to `client`.
    std::vector<std::uint8_t> serverPacket(int port, const std::string& client, std::size_t length,
                                           std::uint8_t flags = TcpPacketBuilder::kAck,
                                           std::uint8_t seed = 0) const;
    void inject(const std::vector<std::uint8_t>& packet) { kernel_->inject(packet.data(), packet.size()); }

    // Waits until `count` packets have left on the wire (false after ten seconds).
    bool waitForDepartures(std::size_t count);
    std::vector<Departure> departures();

private:
    TempDir folder_;
    std::unique_ptr<SimKernel> kernel_;
    ThreadRunLoop runLoop_;
    std::shared_ptr<UserDefaults> store_;
    std::unique_ptr<Preferences> preferences_;
    std::shared_ptr<defaultPriorityParser> priorities_;
    std::unique_ptr<IPMode> ipmode_;
    NotificationCenter notifications_;
    RandomSource random_{1};
    std::unique_ptr<ThroughputLimiter> engine_;
    std::mutex mutex_;
    std::condition_variable departed_;
    std::vector<Departure> departures_;  // guarded by mutex_
    SimWire::ObserverId observer_ = 0;
};

}  // namespace quellbox::testing
