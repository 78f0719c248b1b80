#include "SimEngineFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "Eventually.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimFirewallState.h"
#include "platform/AtomicFile.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox::testing {

SimEngineFixture::SimEngineFixture() : SimEngineFixture(Options{}) {}

SimEngineFixture::SimEngineFixture(Options options) {
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
    notifications_.addObserver("genericIpfwProblemNotification", [this](const Notification& note) {
        std::lock_guard guard(mutex_);
        problems_.push_back({note.userInfo.at("title").stringValue(),
                             note.userInfo.at("msg").stringValue(),
                             note.userInfo.at("needToQuitAfterAlert").boolValue(), note.object});
    });
    store_ = std::make_shared<UserDefaults>(folder_ / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store_);
    preferences_ = std::make_unique<Preferences>(store_);
    // An empty server log: the default priorities file lives in its folder.
    AtomicFile::write(folder_ / "Downloads", "");
    preferences_->setObject(PlistValue((folder_ / "Downloads").string()), keys::logPath);
    priorities_ = std::make_shared<defaultPriorityParser>(*preferences_, notifications_);
    ipmode_ =
        std::make_unique<IPMode>(*preferences_, [priorities = priorities_] { return priorities; });
    const auto backend = PacketBackend::simulated(*kernel_);
    std::unique_ptr<DivertSocket> socket = backend.makeDivertSocket();
    if (options.controlledSocket) {
        auto controlled = std::make_unique<ControlledSocket>(std::move(socket));
        socket_ = controlled.get();
        if (options.configureSocket) {
            options.configureSocket(*controlled);
        }
        socket = std::move(controlled);
    }
    if (options.offline) {
        EXPECT_TRUE(SimFirewallState::update(state, [](SimFirewallState& firewall) {
            firewall.offline = true;
            return true;
        }));
    }
    auto rule = std::make_unique<IpfwRule>(backend.programs());
    random_ = std::make_unique<RandomSource>(1);
    engine_ = std::make_unique<ThroughputLimiter>(
        ThroughputLimiter::Collaborators{std::move(socket), std::move(rule), runLoop_,
                                         *preferences_, *ipmode_, notifications_, *random_});
}

SimEngineFixture::~SimEngineFixture() {
    engine_.reset();
    kernel_->wire().unsubscribe(observer_);
    runLoop_.stop();
}

std::vector<std::uint8_t> SimEngineFixture::packet(int sourcePort, const std::string& destination,
                                                   int destinationPort, std::size_t length,
                                                   std::uint8_t flags, std::uint8_t seed) {
    TcpPacketBuilder builder;
    builder.source = TcpPacketBuilder::address(kServer);
    builder.sourcePort = static_cast<std::uint16_t>(sourcePort);
    builder.destination = TcpPacketBuilder::address(destination);
    builder.destinationPort = static_cast<std::uint16_t>(destinationPort);
    builder.flags = flags;
    return builder.build(length, seed);
}

std::vector<std::uint8_t> SimEngineFixture::serverPacket(int port, const std::string& client,
                                                         std::size_t length, std::uint8_t flags,
                                                         std::uint8_t seed) const {
    return packet(port, client, 50000, length, flags, seed);
}

std::vector<std::uint8_t> SimEngineFixture::clientPacket(int port, const std::string& server,
                                                         std::size_t length, std::uint8_t flags,
                                                         std::uint8_t seed) const {
    return packet(50000, server, port, length, flags, seed);
}

std::shared_ptr<Service> SimEngineFixture::cap(int port, bool download) {
    auto service = std::make_shared<Service>("Service " + std::to_string(port), port);
    const int result = download ? engine_->addDLService(service) : engine_->addULService(service);
    kernel_->syncRules();
    return result == 0 ? service : nullptr;
}

void SimEngineFixture::startWithCap(int port, bool download) {
    ASSERT_TRUE(engine_->waitUntilStarted(std::chrono::seconds(10)));
    ASSERT_NE(cap(port, download), nullptr);
}

std::vector<SimEngineFixture::Problem> SimEngineFixture::problems() {
    std::lock_guard guard(mutex_);
    return problems_;
}

void SimEngineFixture::expectOnlyProblem(const std::string& title, const std::string& msg,
                                         bool needToQuit) {
    const auto posted = problems();
    ASSERT_EQ(posted.size(), 1U);
    EXPECT_EQ(posted[0].title, title);
    EXPECT_EQ(posted[0].msg, msg);
    EXPECT_EQ(posted[0].needToQuit, needToQuit);
    EXPECT_EQ(posted[0].object, engine_.get());
}

bool SimEngineFixture::waitForRead(std::uint64_t count) {
    // The engine offers no event for a read.
    return eventually([&] { return engine_->counters().read >= count; });
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
