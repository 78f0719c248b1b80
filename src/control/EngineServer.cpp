#include "control/EngineServer.h"

#include <cmath>

#include "engine/EngineControls.h"
#include "engine/TrafficListener.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/SystemLog.h"
#include "prioritymode/PriorityModeControls.h"
#include "settings/EngineSettingKeys.h"
#include "settings/Preferences.h"
#include "settings/Service.h"

namespace quellbox::control {

namespace {

constexpr int kHighestPort = 65535;
constexpr std::int32_t kHighestPriority = 10;

// Set on the thread that applies a setting the window sent, so that the change is not sent
// back to it.
thread_local bool applyingWindowSetting = false;

std::string field(const Notification& notification, const char* key) {
    const auto found = notification.userInfo.find(key);
    return found == notification.userInfo.end() ? std::string() : found->second.stringValue();
}

Result resultOf(bool success) { return Result{success ? 1 : 0}; }

}  // namespace

// The engine's traffic listener, forwarding each call to the window. The queue's length is
// the last gauge of a tick: the byte totals follow it.
class EngineServer::Forwarder : public TrafficListener {
public:
    Forwarder(MessageOutbox& outbox, std::function<TrafficTotals()> totals)
        : outbox_(outbox), totals_(std::move(totals)) {}
    void refreshView() override { outbox_.post(RefreshView{}); }
    void dataReceived(double bytes) override { outbox_.post(Gauge{Gauge::Which::Data, bytes}); }
    void queueSizeChanged(double packets) override {
        outbox_.post(Gauge{Gauge::Which::QueueSize, packets});
        if (totals_) {
            outbox_.post(Traffic{totals_()});
        }
    }
    void ackReceived(double bytes) override { outbox_.post(Gauge{Gauge::Which::Ack, bytes}); }

private:
    MessageOutbox& outbox_;
    std::function<TrafficTotals()> totals_;
};

EngineServer::EngineServer(Collaborators collaborators)
    : channel_(collaborators.fd),
      outbox_(channel_),
      engine_(collaborators.engine),
      priorityMode_(collaborators.priorityMode),
      preferences_(collaborators.preferences),
      notifications_(collaborators.notifications),
      mainRunLoop_(collaborators.mainRunLoop),
      hello_(std::move(collaborators.hello)),
      forwarder_(std::make_shared<Forwarder>(outbox_, std::move(collaborators.totals))) {
    observe();
}

EngineServer::~EngineServer() { forget(); }

void EngineServer::observe() {
    for (const char* name : kForwardedNotifications) {
        observers_.push_back(notifications_.addObserver(
            name, [this](const Notification& notification) { forward(notification); }));
    }
    preferences_.setChangeObserver(
        [this](const std::string& key, const std::optional<PlistValue>& value) {
            if (!applyingWindowSetting && keys::isEngineSettingKey(key)) {
                outbox_.post(SettingChanged{key, value});
            }
        });
    engine_.addTrafficListener(forwarder_);
}

void EngineServer::forward(const Notification& notification) {
    const auto quit = notification.userInfo.find("needToQuitAfterAlert");
    outbox_.post(Notice{notification.name, field(notification, "title"), field(notification, "msg"),
                        quit != notification.userInfo.end() && quit->second.boolValue()});
}

void EngineServer::forget() {
    engine_.removeTrafficListener(forwarder_.get());
    preferences_.setChangeObserver({});
    for (const auto observer : observers_) {
        notifications_.removeObserver(observer);
    }
    observers_.clear();
}

std::string EngineServer::serve() {
    for (;;) {
        std::string error;
        const auto request = channel_.receive(error);
        if (!request) {
            return error;
        }
        auto reply = answer(*request, error);
        if (!reply) {
            return error;
        }
        outbox_.post(std::move(*reply));
        if (!outbox_.healthy()) {
            return "the window stopped reading the control connection";
        }
    }
}

void EngineServer::stop() { channel_.shutdown(); }

std::vector<std::shared_ptr<Service>> EngineServer::cappedServices() const {
    std::vector<std::shared_ptr<Service>> services;
    for (const auto& [port, service] : services_) {
        services.push_back(service);
    }
    return services;
}

std::optional<Message> EngineServer::answer(const Message& request, std::string& error) {
    if (const auto* hello = std::get_if<Hello>(&request)) {
        if (greeted_ || hello->version != kProtocolVersion) {
            error = greeted_ ? "a second greeting on the control connection"
                             : "the window speaks control protocol version " +
                                   std::to_string(hello->version);
            return std::nullopt;
        }
        greeted_ = true;
        HelloReply reply = hello_;
        for (const char* key : keys::engineSettingKeys) {
            if (auto value = preferences_.objectForKey(key)) {
                reply.settings.emplace(key, std::move(*value));
            }
        }
        return reply;
    }
    if (!greeted_ || isAnswer(request) || isEvent(request)) {
        error = greeted_ ? "the window sent a message that only the engine sends"
                         : "the window did not greet first";
        return std::nullopt;
    }
    // Everything else runs on the engine's main thread, as the engine's operations expect.
    Message reply = Result{-1};
    mainRunLoop_.performOnMainThread(
        [&] {
            if (const auto* call = std::get_if<ServiceCall>(&request)) {
                reply = serviceCall(*call);
            } else if (const auto* rate = std::get_if<SetDATARate>(&request)) {
                // Not a number, or infinite, would stall or unpace the pacing threads' sums.
                reply = Result{std::isfinite(rate->rate) ? engine_.setDATARate(rate->rate) : -1};
            } else if (const auto* pause = std::get_if<SetACKPause>(&request)) {
                reply =
                    Result{std::isfinite(pause->pause) ? engine_.setACKPause(pause->pause) : -1};
            } else if (const auto* download = std::get_if<SetDownloadRate>(&request)) {
                // The engine refuses a rate that is no positive number.
                reply = Result{engine_.setDownloadRate(download->on, download->rate)};
            } else if (const auto* factor = std::get_if<SetPriorityFactor>(&request)) {
                engine_.setPriorityFactor(factor->factor);
                reply = Result{0};
            } else if (const auto* mode = std::get_if<SetPriorityMode>(&request)) {
                priorityMode_.activate(mode->on);
                reply = resultOf(priorityMode_.isActivated() == mode->on);
            } else if (const auto* setting = std::get_if<SetSetting>(&request)) {
                reply = setSetting(*setting);
            } else if (std::holds_alternative<SnapshotRequest>(request)) {
                reply = SnapshotReply{priorityMode_.clientSnapshot()};
            } else if (const auto* client = std::get_if<SetClientPriority>(&request)) {
                const bool inRange = client->priority >= 0 && client->priority <= kHighestPriority;
                reply = resultOf(inRange &&
                                 priorityMode_.setClientPriority(client->ip, client->priority));
            } else if (const auto* login = std::get_if<MakeDefaultForLogin>(&request)) {
                reply = resultOf(priorityMode_.makeDefaultForLogin(login->ip));
            } else if (std::holds_alternative<ReloadDefaultPriorities>(request)) {
                priorityMode_.reloadDefaultPriorities();
                reply = Result{0};
            }
        },
        true);
    return reply;
}

Result EngineServer::serviceCall(const ServiceCall& call) {
    if (call.port < 1 || call.port > kHighestPort) {
        SystemLog::logf("refused a service on port %d from the window", call.port);
        return Result{-1};
    }
    auto& service = services_[call.port];
    if (!service) {
        service = std::make_shared<Service>(call.name, call.port);
    }
    // The flags keep what the window has capped and not released, for the wind-down if the
    // window goes; they change only when the engine did what was asked.
    int result = -1;
    switch (call.operation) {
        case ServiceCall::Operation::AddUL:
            if ((result = engine_.addULService(service)) == 0) {
                service->setUploadIsCapped(true);
            }
            break;
        case ServiceCall::Operation::RemoveUL:
            if ((result = engine_.removeULService(service)) == 0) {
                service->setUploadIsCapped(false);
            }
            break;
        case ServiceCall::Operation::AddDL:
            // Capping a download caps the upload's rules too.
            if ((result = engine_.addDLService(service)) == 0) {
                service->setUploadIsCapped(true);
                service->setDownloadIsCapped(true);
            }
            break;
        case ServiceCall::Operation::RemoveDL:
            if ((result = engine_.removeDLService(service)) == 0) {
                service->setDownloadIsCapped(false);
            }
            break;
    }
    if (!service->uploadIsCapped() && !service->downloadIsCapped()) {
        services_.erase(call.port);
    }
    return Result{result};
}

namespace {
// A removed bound is the default, off; anything but a whole number of 0 to 10000 ms is refused.
std::optional<std::chrono::milliseconds> queueDelayOf(const std::optional<PlistValue>& value) {
    if (!value) {
        return std::chrono::milliseconds(0);
    }
    if (value->type() != PlistValue::Type::Integer || value->integerValue() < 0 ||
        value->integerValue() > kLongestQueueDelayMs) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(value->integerValue());
}
}  // namespace

Result EngineServer::setSetting(const SetSetting& change) {
    if (!keys::isEngineSettingKey(change.key)) {
        SystemLog::logf("refused the setting '%s' from the window: not one the engine reads",
                        change.key.c_str());
        return Result{-1};
    }
    std::optional<std::chrono::milliseconds> delayBound;
    if (change.key == keys::maxQueueDelay) {
        delayBound = queueDelayOf(change.value);
        if (!delayBound) {
            SystemLog::log("refused a queueing-delay bound from the window: not 0 to 10000 ms");
            return Result{-1};
        }
    }
    applyingWindowSetting = true;
    if (change.value) {
        preferences_.setObject(*change.value, change.key);
    } else {
        preferences_.removeObjectForKey(change.key);
    }
    applyingWindowSetting = false;
    if (delayBound) {
        engine_.setMaxQueueDelay(*delayBound);
    }
    return Result{0};
}

}  // namespace quellbox::control
