#include "control/EngineClient.h"

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "control/EngineProcess.h"
#include "engine/TrafficListener.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Service.h"

namespace quellbox::control {

namespace {

constexpr auto kWindDownGrace = std::chrono::seconds(10);
constexpr int kGreetingTimeoutMs = 30000;

// Readable within `timeoutMs` (0: now): 1; not: 0; failure: -1.
int waitReadable(int fd, int timeoutMs) {
    pollfd ready{fd, POLLIN, 0};
    for (;;) {
        const int polled = ::poll(&ready, 1, timeoutMs);
        if (polled >= 0 || errno != EINTR) {
            return polled < 0 ? -1 : (polled > 0 ? 1 : 0);
        }
    }
}

}  // namespace

EngineClient::EngineClient(Launch launch, Handlers handlers)
    : launch_(std::move(launch)), handlers_(std::move(handlers)) {}

std::unique_ptr<EngineClient> EngineClient::start(Launch launch, Handlers handlers,
                                                  std::string& error) {
    std::unique_ptr<EngineClient> client(new EngineClient(std::move(launch), std::move(handlers)));
    if (!client->connect(error)) {
        return nullptr;
    }
    // The first engine's settings become the window's; a restarted one is told the window's.
    if (client->handlers_.settingChanged) {
        for (const auto& [key, value] : client->hello_.settings) {
            client->handlers_.settingChanged(key, value);
        }
    }
    return client;
}

EngineClient::~EngineClient() {
    channel_.reset();  // the engine sees the close and winds down
    if (process_) {
        process_->finish(kWindDownGrace);
    }
}

bool EngineClient::connect(std::string& error) {
    process_ = EngineProcess::spawn(launch_.program, launch_.arguments, error);
    if (!process_) {
        return false;
    }
    auto channel = std::make_unique<ControlChannel>(process_->takeSocket());
    std::string why;
    // The engine may report a problem of its start-up before it answers the greeting.
    bool greeted = channel->send(Hello{});
    while (greeted && waitReadable(channel->fd(), kGreetingTimeoutMs) > 0) {
        auto reply = channel->receive(why);
        if (reply && std::holds_alternative<HelloReply>(*reply)) {
            hello_ = std::get<HelloReply>(*reply);
            channel_ = std::move(channel);
            return true;
        }
        greeted = reply && isEvent(*reply);
        if (greeted) {
            pending_.push_back(std::move(*reply));
        }
    }
    channel.reset();
    const int status = process_->finish(kWindDownGrace);
    process_.reset();
    error = "the engine " + launch_.program + " did not start";
    if (WIFEXITED(status)) {
        error += " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    } else if (WIFSIGNALED(status)) {
        error += std::string(" (") + strsignal(WTERMSIG(status)) + ")";
    }
    if (!why.empty()) {
        error += ": " + why;
    }
    return false;
}

std::optional<pid_t> EngineClient::enginePid() const {
    return process_ ? std::optional<pid_t>(process_->pid()) : std::nullopt;
}

int EngineClient::fd() const { return channel_ ? channel_->fd() : -1; }

bool EngineClient::receiveOne(int timeoutMs, std::optional<Message>& message) {
    const int readable = waitReadable(channel_->fd(), timeoutMs);
    if (readable <= 0) {
        lose(readable == 0 ? "the engine did not answer in time"
                           : std::string("poll: ") + std::strerror(errno));
        return false;
    }
    std::string error;
    message = channel_->receive(error);
    if (!message) {
        lose(error.empty() ? "the engine closed the connection" : error);
        return false;
    }
    return true;
}

void EngineClient::lose(const std::string& reason) {
    if (!channel_) {
        return;
    }
    SystemLog::log("the engine is gone: " + reason);
    channel_.reset();
    if (process_) {
        process_->finish(kWindDownGrace);
        process_.reset();
    }
    pending_.clear();
    if (handlers_.died) {
        handlers_.died(reason);
    }
}

std::optional<Message> EngineClient::call(const Message& request) {
    if (!channel_) {
        return std::nullopt;
    }
    if (!channel_->send(request)) {
        lose("the engine stopped reading the connection");
        return std::nullopt;
    }
    const int timeoutMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kAnswerTimeout).count());
    for (;;) {
        std::optional<Message> message;
        if (!receiveOne(timeoutMs, message)) {
            return std::nullopt;
        }
        if (isAnswer(*message)) {
            return message;
        }
        if (!isEvent(*message)) {
            lose("the engine sent a request");
            return std::nullopt;
        }
        pending_.push_back(std::move(*message));
    }
}

std::int32_t EngineClient::callForResult(const Message& request) {
    const auto answer = call(request);
    if (answer && std::holds_alternative<Result>(*answer)) {
        return std::get<Result>(*answer).value;
    }
    if (answer) {
        lose("the engine answered with the wrong kind of message");
    }
    return -1;
}

void EngineClient::dispatchEvents() {
    while (channel_ && waitReadable(channel_->fd(), 0) > 0) {
        std::optional<Message> message;
        if (!receiveOne(0, message)) {
            break;
        }
        if (!isEvent(*message)) {
            lose("the engine sent an answer to no request");
            break;
        }
        pending_.push_back(std::move(*message));
    }
    // A handler may call the engine, which may queue more events: take them one at a time.
    while (!pending_.empty()) {
        const Message event = std::move(pending_.front());
        pending_.pop_front();
        dispatch(event);
    }
}

void EngineClient::dispatch(const Message& event) {
    if (const auto* gauge = std::get_if<Gauge>(&event)) {
        const auto listeners = listeners_;
        for (const auto& listener : listeners) {
            switch (gauge->which) {
                case Gauge::Which::Data:
                    listener->dataReceived(gauge->value);
                    break;
                case Gauge::Which::QueueSize:
                    listener->queueSizeChanged(gauge->value);
                    break;
                case Gauge::Which::Ack:
                    listener->ackReceived(gauge->value);
                    break;
            }
        }
    } else if (std::holds_alternative<RefreshView>(event)) {
        const auto listeners = listeners_;
        for (const auto& listener : listeners) {
            listener->refreshView();
        }
    } else if (const auto* notice = std::get_if<Notice>(&event)) {
        if (handlers_.notice) {
            handlers_.notice(*notice);
        }
    } else if (const auto* setting = std::get_if<SettingChanged>(&event)) {
        settings_[setting->key] = setting->value;
        if (handlers_.settingChanged) {
            handlers_.settingChanged(setting->key, setting->value);
        }
    } else if (const auto* traffic = std::get_if<Traffic>(&event)) {
        if (handlers_.traffic) {
            handlers_.traffic(traffic->totals);
        }
    }
}

bool EngineClient::restart(std::string& error) {
    if (channel_) {
        return true;
    }
    if (!connect(error)) {
        return false;
    }
    replay();
    return alive();
}

void EngineClient::replay() {
    for (const auto& [key, value] : settings_) {
        callForResult(SetSetting{key, value});
    }
    if (factor_) {
        callForResult(SetPriorityFactor{*factor_});
    }
    if (rate_) {
        callForResult(SetDATARate{*rate_});
    }
    if (pause_) {
        callForResult(SetACKPause{*pause_});
    }
    if (downloadRate_) {
        callForResult(*downloadRate_);
    }
    for (const auto& [port, state] : services_) {
        const auto operation =
            state.download ? ServiceCall::Operation::AddDL : ServiceCall::Operation::AddUL;
        callForResult(ServiceCall{operation, state.name, port});
    }
    if (priorityMode_) {
        callForResult(SetPriorityMode{true});
    }
}

bool EngineClient::setSetting(const std::string& key, const std::optional<PlistValue>& value) {
    settings_[key] = value;
    return callForResult(SetSetting{key, value}) == 0;
}

// ---- EngineControls ---------------------------------------------------------------------------

int EngineClient::service(ServiceCall::Operation operation,
                          const std::shared_ptr<Service>& service) {
    const int port = service->servicePort();
    const int result = callForResult(ServiceCall{operation, service->name(), port});
    if (result != 0) {
        return result;
    }
    ServiceState& state = services_[port];
    state.name = service->name();
    switch (operation) {
        case ServiceCall::Operation::AddUL:
            state.upload = true;
            break;
        case ServiceCall::Operation::AddDL:
            state.upload = true;
            state.download = true;
            break;
        case ServiceCall::Operation::RemoveUL:
            state = {};
            break;
        case ServiceCall::Operation::RemoveDL:
            state.download = false;
            break;
    }
    if (!state.upload && !state.download) {
        services_.erase(port);
    }
    return result;
}

int EngineClient::addULService(const std::shared_ptr<Service>& service) {
    return this->service(ServiceCall::Operation::AddUL, service);
}
int EngineClient::removeULService(const std::shared_ptr<Service>& service) {
    return this->service(ServiceCall::Operation::RemoveUL, service);
}
int EngineClient::addDLService(const std::shared_ptr<Service>& service) {
    return this->service(ServiceCall::Operation::AddDL, service);
}
int EngineClient::removeDLService(const std::shared_ptr<Service>& service) {
    return this->service(ServiceCall::Operation::RemoveDL, service);
}

int EngineClient::setDATARate(float rate) {
    rate_ = rate;
    return callForResult(SetDATARate{rate});
}

int EngineClient::setACKPause(float pause) {
    pause_ = pause;
    return callForResult(SetACKPause{pause});
}

int EngineClient::setDownloadRate(bool on, float kibPerSecond) {
    const SetDownloadRate request{on, kibPerSecond};
    const int result = callForResult(request);
    // A refused rate leaves the engine as it was, and so what a new engine is told.
    if (result == 0) {
        downloadRate_ = request;
    }
    return result;
}

void EngineClient::setPriorityFactor(std::int32_t factor) {
    factor_ = factor;
    callForResult(SetPriorityFactor{factor});
}

void EngineClient::setMaxQueueDelay(std::chrono::milliseconds bound) {
    const PlistValue value(static_cast<std::int64_t>(bound.count()));
    // The window's own write of the setting has usually carried this value over already.
    const auto told = settings_.find(keys::maxQueueDelay);
    if (told != settings_.end() && told->second == value) {
        return;
    }
    setSetting(keys::maxQueueDelay, value);
}

void EngineClient::addTrafficListener(std::shared_ptr<TrafficListener> listener) {
    listeners_.push_back(std::move(listener));
}

void EngineClient::removeTrafficListener(const TrafficListener* listener) {
    std::erase_if(listeners_, [listener](const auto& held) { return held.get() == listener; });
}

// ---- PriorityModeControls ---------------------------------------------------------------------

void EngineClient::activate(bool on) {
    if (callForResult(SetPriorityMode{on}) == 1) {
        priorityMode_ = on;
    }
}

ClientSnapshot EngineClient::clientSnapshot() {
    const auto answer = call(SnapshotRequest{});
    if (answer && std::holds_alternative<SnapshotReply>(*answer)) {
        return std::get<SnapshotReply>(*answer).snapshot;
    }
    if (answer) {
        lose("the engine answered with the wrong kind of message");
    }
    return {};
}

bool EngineClient::setClientPriority(std::uint32_t ip, std::int32_t priority) {
    return callForResult(SetClientPriority{ip, priority}) == 1;
}

bool EngineClient::makeDefaultForLogin(std::uint32_t ip) {
    return callForResult(MakeDefaultForLogin{ip}) == 1;
}

void EngineClient::reloadDefaultPriorities() { callForResult(ReloadDefaultPriorities{}); }

}  // namespace quellbox::control
