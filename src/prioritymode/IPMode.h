#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace quellbox {

class IPTable;
class LogParser;
class Preferences;
class defaultPriorityParser;

// Owns Priority Mode: its on/off state, the reader of the server's log, the three client
// tables (active, idle, waiting for a name) and the default priorities. The parts are made
// by the first activate() and live as long as the coordinator; before that the accessors
// answer null. The engine's threads read isActivated() and the accessors without locks
// while the GUI thread switches the mode.
class IPMode {
public:
    using DefaultPrioritiesSource =
        std::function<std::shared_ptr<quellbox::defaultPriorityParser>()>;

    // The application's coordinator, over the shared settings and default priorities.
    static IPMode& sharedInstance();

    // A coordinator over `prefs` whose first activation makes default priorities of its own
    // over the same settings.
    explicit IPMode(Preferences& prefs);
    // A coordinator whose first activation takes the default priorities from `source`.
    IPMode(Preferences& prefs, DefaultPrioritiesSource source);
    ~IPMode();
    IPMode(const IPMode&) = delete;
    IPMode& operator=(const IPMode&) = delete;

    bool isActivated() const { return isActivated_.load(std::memory_order_acquire); }
    // Switches Priority Mode on or off. The first call makes the parts whatever the flag.
    // Switching off empties the three tables and rewinds the log cursor to "cursorBegin".
    void activate(bool on);

    LogParser* logParser() const;
    IPTable* ipTable() const;
    IPTable* ipTableForTheInactive() const;
    IPTable* waitingForInfoTable() const;
    quellbox::defaultPriorityParser* defaultPriorityParser() const;

private:
    struct Parts;

    Preferences& prefs_;
    DefaultPrioritiesSource defaultPrioritiesSource_;
    std::atomic<bool> isActivated_{false};
    // Serialises switching; the engine never takes it.
    std::mutex activationLock;
    std::unique_ptr<Parts> ownedParts_;  // set once, under activationLock
    // Published once, after the parts are complete, for the lock-free readers; null until
    // the first activation (the "first activation" state).
    std::atomic<Parts*> parts_{nullptr};
};

}  // namespace quellbox
