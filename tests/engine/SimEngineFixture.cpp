#include "SimEngineFixture.h"

#include <cstdlib>

#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "platform/AtomicFile.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox::testing {

SimEngineFixture::SimEngineFixture() {
    const auto state = folder_ / "sim.state";
    // The simulator's tool programs find the same firewall state through this variable.
    setenv("QUELLBOX_SIM_STATE", state.c_str(), 1);
    kernel_ = std::make_unique<SimKernel>(SimKernel::Options{state});
    observer_ = kernel_->wire().subscribe(
        [this](const std::uint8_t* bytes, std::size_t length, SimWire::Clock::time_point when) {
            {
                std::lock_guard guard(mutex_);
                departures_.push_back({std::vector<std::uint8_t>(bytes, bytes + length), when});
            }
            departed_.notify_all();
        });
    runLoop_.start();
    store_ = std::make_shared<UserDefaults>(folder_ / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store_);
    preferences_ = std::make_unique<Preferences>(store_);
    // An empty server log, so that the default priorities file has a folder to live in.
    AtomicFile::write(folder_ / "Downloads", "");
    preferences_->setObject(PlistValue((folder_ / "Downloads").string()), keys::logPath);
    priorities_ = std::make_shared<defaultPriorityParser>(*preferences_, notifications_);
    ipmode_ = std::make_unique<IPMode>(*preferences_, [priorities = priorities_] { return priorities; });
    const auto backend = PacketBackend::simulated(*kernel_);
    engine_ = std::make_unique<ThroughputLimiter>(ThroughputLimiter::Collaborators{
        backend.makeDivertSocket(), std::make_unique<IpfwRule>(backend.programs()), runLoop_,
        *preferences_, *ipmode_, notifications_, random_});
}

SimEngineFixture::~SimEngineFixture() {
    engine_.reset();
    kernel_->wire().unsubscribe(observer_);
    runLoop_.stop();
}

std::vector<std::uint8_t> SimEngineFixture::serverPacket(int port, const std::string& client,
                                                         std::size_t length, std::uint8_t flags,
                                                         std::uint8_t seed) const {
    TcpPacketBuilder builder;
    builder.source = TcpPacketBuilder::address(kServer);
    builder.sourcePort = static_cast<std::uint16_t>(port);
    builder.destination = TcpPacketBuilder::address(client);
    builder.destinationPort = 50000;
    builder.flags = flags;
    return builder.build(length, seed);
}

bool SimEngineFixture::waitForDepartures(std::size_t count) {
    std::unique_lock guard(mutex_);
    return departed_.wait_for(guard, std::chrono::seconds(10),
                              [&] { return departures_.size() >= count; });
}

std::vector<SimEngineFixture::Departure> SimEngineFixture::departures() {
    std::lock_guard guard(mutex_);
    return departures_;
}

}  // namespace quellbox::testing
