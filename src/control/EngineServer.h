#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "control/ControlChannel.h"
#include "control/ControlMessage.h"
#include "control/MessageOutbox.h"

namespace quellbox {

class EngineControls;
class NotificationCenter;
struct Notification;
class Preferences;
class PriorityModeControls;
class RunLoop;
class Service;
class TrafficListener;

namespace control {

// The engine's side of the control connection: answers the window's requests by calling the
// engine, Priority Mode and the settings on the engine's main run loop, and sends the
// engine's listener calls, its notifications and the engine settings it changes back to the
// window. Serves until the window closes its end or breaks the protocol.
class EngineServer {
public:
    struct Collaborators {
        int fd;  // the control socket; the server owns it
        EngineControls& engine;
        PriorityModeControls& priorityMode;
        Preferences& preferences;
        NotificationCenter& notifications;
        RunLoop& mainRunLoop;
        HelloReply hello;  // what the engine tells the window first
        // The engine's byte totals, sent after the gauges of every tick.
        std::function<TrafficTotals()> totals;
    };

    // The notifications the window shows; the server forwards them.
    static constexpr const char* kForwardedNotifications[] = {"genericIpfwProblemNotification",
                                                              "noNetworkNotification"};

    explicit EngineServer(Collaborators collaborators);
    ~EngineServer();
    EngineServer(const EngineServer&) = delete;
    EngineServer& operator=(const EngineServer&) = delete;

    // Reads and answers requests until the connection ends; answers why it ended (empty for
    // the window's orderly close). Call on a thread other than the main run loop's.
    std::string serve();
    // Sends a notification posted before this server observed them (the engine's start-up).
    void forward(const Notification& notification);
    // Makes serve() return (from another thread; the stop signals).
    void stop();
    // The services the window has capped and not released, for the wind-down; once serve()
    // has returned and the main run loop has stopped.
    std::vector<std::shared_ptr<Service>> cappedServices() const;

private:
    class Forwarder;

    std::optional<Message> answer(const Message& request, std::string& error);
    Result serviceCall(const ServiceCall& call);
    Result setSetting(const SetSetting& change);
    void observe();
    void forget();

    ControlChannel channel_;
    MessageOutbox outbox_;
    EngineControls& engine_;
    PriorityModeControls& priorityMode_;
    Preferences& preferences_;
    NotificationCenter& notifications_;
    RunLoop& mainRunLoop_;
    HelloReply hello_;
    std::shared_ptr<Forwarder> forwarder_;
    std::vector<std::uint64_t> observers_;
    bool greeted_ = false;
    // Services by port as the window named them; touched on the main run loop only.
    std::map<int, std::shared_ptr<Service>> services_;
};

}  // namespace control
}  // namespace quellbox
