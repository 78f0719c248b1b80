#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/ControlChannel.h"
#include "control/ControlMessage.h"
#include "engine/EngineControls.h"
#include "prioritymode/PriorityModeControls.h"

namespace quellbox::control {

class EngineProcess;

// The window's side of the control connection, without Qt: starts the engine process, greets
// it, and stands in for the engine and Priority Mode. Every request waits for its answer;
// events that arrive meanwhile are kept for dispatchEvents(), which the window calls when the
// socket is readable. Belongs to one thread (the window's). When the engine is gone, every
// request fails (-1, false, nothing) and `died` is told once; restart() starts a new engine
// and gives it what this one was told (services, rates, Priority Mode, settings).
class EngineClient : public EngineControls, public PriorityModeControls {
public:
    struct Launch {
        std::string program;
        std::vector<std::string> arguments;  // without --control-fd
    };
    struct Handlers {
        std::function<void(const Notice&)> notice;
        // A setting the engine changed; at the start, each of the engine's values too.
        std::function<void(const std::string& key, const std::optional<PlistValue>& value)>
            settingChanged;
        std::function<void(const std::string& reason)> died;
        // The engine's byte totals, once per gauge tick.
        std::function<void(const TrafficTotals&)> traffic;
    };
    // How long an answer may take (the engine runs the firewall program for a service).
    static constexpr std::chrono::seconds kAnswerTimeout{30};

    // Nothing, with the reason, when the engine cannot be started or does not greet.
    static std::unique_ptr<EngineClient> start(Launch launch, Handlers handlers,
                                               std::string& error);
    // Closes the connection and waits for the engine's wind-down.
    ~EngineClient() override;
    EngineClient(const EngineClient&) = delete;
    EngineClient& operator=(const EngineClient&) = delete;

    const HelloReply& hello() const { return hello_; }
    // The connection's descriptor, to watch for readability; -1 once the engine is gone.
    int fd() const;
    bool alive() const { return channel_ != nullptr; }
    // The engine process, while there is one.
    std::optional<pid_t> enginePid() const;
    // Reads the events that have arrived (without blocking) and hands them on.
    void dispatchEvents();
    bool restart(std::string& error);
    // Hands a setting the engine reads to it; false when refused or the engine is gone.
    bool setSetting(const std::string& key, const std::optional<PlistValue>& value);

    // EngineControls
    int addULService(const std::shared_ptr<Service>& service) override;
    int removeULService(const std::shared_ptr<Service>& service) override;
    int addDLService(const std::shared_ptr<Service>& service) override;
    int removeDLService(const std::shared_ptr<Service>& service) override;
    int setDATARate(float rate) override;
    float getDATARate() const override { return rate_.value_or(0.0F); }
    int setACKPause(float pause) override;
    float getACKPause() const override { return pause_.value_or(0.0F); }
    int setDownloadRate(bool on, float kibPerSecond) override;
    bool isDownloadRateOn() const override { return downloadRate_ && downloadRate_->on; }
    float getDownloadRate() const override { return downloadRate_ ? downloadRate_->rate : 0.0F; }
    void setPriorityFactor(std::int32_t factor) override;
    // Sent as the engine setting "maxQueueDelay", so that a restarted engine gets it back;
    // not again when it is the value last sent.
    void setMaxQueueDelay(std::chrono::milliseconds bound) override;
    void addTrafficListener(std::shared_ptr<TrafficListener> listener) override;
    void removeTrafficListener(const TrafficListener* listener) override;

    // PriorityModeControls
    void activate(bool on) override;
    bool isActivated() const override { return priorityMode_; }
    ClientSnapshot clientSnapshot() override;
    bool setClientPriority(std::uint32_t ip, std::int32_t priority) override;
    bool makeDefaultForLogin(std::uint32_t ip) override;
    void reloadDefaultPriorities() override;

private:
    struct ServiceState {
        std::string name;
        bool upload = false;
        bool download = false;
    };

    EngineClient(Launch launch, Handlers handlers);
    bool connect(std::string& error);
    // The answer to `request`; nothing once the engine is gone.
    std::optional<Message> call(const Message& request);
    std::int32_t callForResult(const Message& request);
    int service(ServiceCall::Operation operation, const std::shared_ptr<Service>& service);
    bool receiveOne(int timeoutMs, std::optional<Message>& message);
    void dispatch(const Message& event);
    void lose(const std::string& reason);
    void replay();

    Launch launch_;
    Handlers handlers_;
    std::unique_ptr<EngineProcess> process_;
    std::unique_ptr<ControlChannel> channel_;
    HelloReply hello_;
    std::deque<Message> pending_;
    std::vector<std::shared_ptr<TrafficListener>> listeners_;
    // What the engine has been told, for a restarted one.
    std::map<int, ServiceState> services_;
    std::optional<float> rate_;
    std::optional<float> pause_;
    std::optional<SetDownloadRate> downloadRate_;  // as the engine accepted it
    std::optional<std::int32_t> factor_;
    bool priorityMode_ = false;
    std::map<std::string, std::optional<PlistValue>> settings_;
};

}  // namespace quellbox::control
