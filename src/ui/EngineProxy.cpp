#include "ui/EngineProxy.h"

#include <QTimer>

#include "platform/LocalizedText.h"
#include "platform/NotificationCenter.h"
#include "settings/EngineSettingKeys.h"
#include "settings/Preferences.h"
#include "ui/Presenter.h"

namespace quellbox {

namespace {
std::string localized(const char* english) { return LocalizedText::lookup(english); }
}  // namespace

EngineProxy::EngineProxy(Collaborators collaborators)
    : preferences_(collaborators.preferences),
      notifications_(collaborators.notifications),
      presenter_(collaborators.presenter) {}

std::unique_ptr<EngineProxy> EngineProxy::start(Collaborators collaborators, std::string& error) {
    auto launch = std::move(collaborators.launch);
    std::unique_ptr<EngineProxy> proxy(new EngineProxy(collaborators));
    proxy->client_ = control::EngineClient::start(std::move(launch), proxy->handlers(), error);
    if (!proxy->client_) {
        return nullptr;
    }
    proxy->preferences_.setChangeObserver(
        [raw = proxy.get()](const std::string& key, const std::optional<PlistValue>& value) {
            raw->settingFromWindow(key, value);
        });
    proxy->watch();
    // What the engine reported before its greeting reaches the window once its loop runs.
    QTimer::singleShot(0, proxy.get(), [raw = proxy.get()] { raw->client_->dispatchEvents(); });
    return proxy;
}

EngineProxy::~EngineProxy() {
    preferences_.setChangeObserver({});
    notifier_.reset();
    client_.reset();  // the engine winds down
}

control::EngineClient::Handlers EngineProxy::handlers() {
    return {[this](const control::Notice& notice) {
                notifications_.postNotification(
                    notice.name, nullptr,
                    {{"title", PlistValue(notice.title)},
                     {"msg", PlistValue(notice.message)},
                     {"needToQuitAfterAlert", PlistValue(notice.needToQuitAfterAlert)}});
            },
            [this](const std::string& key, const std::optional<PlistValue>& value) {
                settingFromEngine(key, value);
            },
            [this](const std::string& reason) { engineDied(reason); },
            [this](const TrafficTotals& totals) { emit trafficArrived(totals); }};
}

void EngineProxy::watch() {
    notifier_ = std::make_unique<QSocketNotifier>(client_->fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this,
            [this] { client_->dispatchEvents(); });
}

void EngineProxy::settingFromEngine(const std::string& key,
                                    const std::optional<PlistValue>& value) {
    applyingEngineSetting_ = true;
    if (value) {
        preferences_.setObject(*value, key);
    } else {
        preferences_.removeObjectForKey(key);
    }
    applyingEngineSetting_ = false;
}

void EngineProxy::settingFromWindow(const std::string& key,
                                    const std::optional<PlistValue>& value) {
    if (!applyingEngineSetting_ && keys::isEngineSettingKey(key)) {
        client_->setSetting(key, value);
    }
}

void EngineProxy::engineDied(const std::string& reason) {
    // Told from inside a call or inside the notifier's own signal: neither may delete the
    // notifier nor run a modal question.
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_.release()->deleteLater();
    }
    QTimer::singleShot(0, this, [this, reason] { askToRestart(reason); });
}

void EngineProxy::askToRestart(const std::string& reason) {
    if (asking_ || client_->alive()) {
        return;
    }
    asking_ = true;
    std::string why = reason;
    for (;;) {
        const int answer = presenter_.runAlertPanel(Presenter::Sheet{
            localized("The Quellbox engine stopped"), localized("Restart"), localized("Quit"), "",
            why + "\n" + localized("Traffic passes unshaped until the engine runs again.")});
        if (answer != Presenter::kDefaultButton) {
            asking_ = false;
            if (quit_) {
                quit_();
            }
            return;
        }
        std::string error;
        if (client_->restart(error)) {
            break;
        }
        why = error;
    }
    watch();
    asking_ = false;
}

}  // namespace quellbox
