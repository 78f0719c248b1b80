#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "EngineDoubles.h"
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
#include "settings/Service.h"

namespace quellbox::testing {

// A whole engine over the simulated network, with its own settings, firewall state, run loop
// and notification centre; the fixture records what leaves on the wire.
class SimEngineFixture {
public:
    struct Departure {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point when;
    };
    // A "genericIpfwProblemNotification" as the user would see it.
    struct Problem {
        std::string title;
        std::string msg;
        bool needToQuit = false;
        const void* object = nullptr;
    };

    struct Options {
        // The simulated machine has no default route, so the engine finds no own address.
        bool offline = false;
        // Puts a ControlledSocket, set up by configureSocket, before the simulated socket.
        bool controlledSocket = false;
        std::function<void(ControlledSocket&)> configureSocket;

        static Options offlineMachine() {
            Options options;
            options.offline = true;
            return options;
        }
        static Options controlled() {
            Options options;
            options.controlledSocket = true;
            return options;
        }
    };

    SimEngineFixture();
    explicit SimEngineFixture(Options options);
    ~SimEngineFixture();

    static constexpr const char* kServer = "192.0.2.1";
    ThroughputLimiter& engine() { return *engine_; }
    SimKernel& kernel() { return *kernel_; }
    IPMode& ipmode() { return *ipmode_; }
    defaultPriorityParser& priorities() { return *priorities_; }
    Preferences& preferences() { return *preferences_; }
    const TempDir& folder() const { return folder_; }
    ThreadRunLoop& runLoop() { return runLoop_; }
    ControlledSocket* socket() { return socket_; }
    void destroyEngine() { engine_.reset(); }
    void flushMainLoop() {
        runLoop_.performOnMainThread([] {}, true);
    }

    // Caps the upload (or the download) of a service on `port`; the kernel sees its rules at once.
    std::shared_ptr<Service> cap(int port, bool download = false);
    // The rules the simulated kernel diverts by now: a server and a client rule per capped port
    // (a count no test expects when it cannot read them).
    std::size_t firewallRules() {
        return kernel_->syncRules() ? kernel_->rules().size() : SIZE_MAX;
    }
    // Waits for the engine to start, then caps `port` as cap() does.
    void startWithCap(int port, bool download = false);

    // A server packet of `length` bytes from the local server's `port` to `client`.
    std::vector<std::uint8_t> serverPacket(int port, const std::string& client, std::size_t length,
                                           std::uint8_t flags = TcpPacketBuilder::kAck,
                                           std::uint8_t seed = 0) const;
    // A packet of the local machine as a client: from its port 50000 to `server`'s `port`.
    std::vector<std::uint8_t> clientPacket(int port, const std::string& server, std::size_t length,
                                           std::uint8_t flags = TcpPacketBuilder::kAck,
                                           std::uint8_t seed = 0) const;
    void inject(const std::vector<std::uint8_t>& packet) {
        kernel_->inject(packet.data(), packet.size());
    }

    std::vector<Problem> problems();
    // Expects that the engine has posted exactly one problem since the fixture was made, this one.
    void expectOnlyProblem(const std::string& title, const std::string& msg, bool needToQuit);

    // Waits until `count` packets have left on the wire (false after ten seconds).
    bool waitForDepartures(std::size_t count);
    // Waits until the engine has read `count` packets; all but the last are sorted by then.
    bool waitForRead(std::uint64_t count);
    std::vector<Departure> departures();

private:
    static std::vector<std::uint8_t> packet(int sourcePort, const std::string& destination,
                                            int destinationPort, std::size_t length,
                                            std::uint8_t flags, std::uint8_t seed);

    TempDir folder_;
    std::unique_ptr<SimKernel> kernel_;
    ThreadRunLoop runLoop_;
    std::shared_ptr<UserDefaults> store_;
    std::unique_ptr<Preferences> preferences_;
    std::shared_ptr<defaultPriorityParser> priorities_;
    std::unique_ptr<IPMode> ipmode_;
    NotificationCenter notifications_;
    std::unique_ptr<RandomSource> random_;
    ControlledSocket* socket_ = nullptr;
    std::unique_ptr<ThroughputLimiter> engine_;
    std::mutex mutex_;
    std::condition_variable departed_;
    std::vector<Departure> departures_;  // guarded by mutex_
    std::vector<Problem> problems_;      // guarded by mutex_
    SimWire::ObserverId observer_ = 0;
};

}  // namespace quellbox::testing
