#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "control/EngineClient.h"
#include "platform/PlistValue.h"

namespace quellbox {

class NotificationCenter;
class Preferences;
class Presenter;

// The engine process as the window sees it, on the Qt event loop: it stands where the
// engine and the Priority Mode coordinator stood in-process (client() answers both), hands
// the engine's events to the window when its socket is readable, posts the engine's
// notifications to the window's notification centre, and keeps the settings that both sides
// read in step. When the engine dies it says so and offers to start it again.
class EngineProxy : public QObject {
    Q_OBJECT

public:
    struct Collaborators {
        control::EngineClient::Launch launch;
        Preferences& preferences;
        NotificationCenter& notifications;
        Presenter& presenter;
    };

    // Nothing, with the reason, when the engine cannot be started.
    static std::unique_ptr<EngineProxy> start(Collaborators collaborators, std::string& error);
    ~EngineProxy() override;

    control::EngineClient& client() { return *client_; }
    // What the "Quit" answer to a dead engine does (the window's quit, with its question).
    void setQuit(std::function<void()> quit) { quit_ = std::move(quit); }

signals:
    // The engine's byte totals, once per gauge tick.
    void trafficArrived(const quellbox::TrafficTotals& totals);

private:
    explicit EngineProxy(Collaborators collaborators);
    control::EngineClient::Handlers handlers();
    void watch();
    void settingFromEngine(const std::string& key, const std::optional<PlistValue>& value);
    void settingFromWindow(const std::string& key, const std::optional<PlistValue>& value);
    void engineDied(const std::string& reason);
    void askToRestart(const std::string& reason);

    Preferences& preferences_;
    NotificationCenter& notifications_;
    Presenter& presenter_;
    std::unique_ptr<control::EngineClient> client_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> quit_;
    bool applyingEngineSetting_ = false;
    bool asking_ = false;
};

}  // namespace quellbox
