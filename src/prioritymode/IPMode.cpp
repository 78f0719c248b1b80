#include "prioritymode/IPMode.h"

#include "prioritymode/IPTable.h"
#include "prioritymode/LogParser.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/Preferences.h"

namespace quellbox {

struct IPMode::Parts {
    explicit Parts(Preferences& prefs, std::shared_ptr<quellbox::defaultPriorityParser> defaults)
        : lparser(prefs), defPrio(std::move(defaults)) {}

    LogParser lparser;
    IPTable iptable;
    IPTable iptableForTheInactive;
    IPTable waitingForInfoTable;
    std::shared_ptr<quellbox::defaultPriorityParser> defPrio;
};

IPMode& IPMode::sharedInstance() {
    static IPMode* shared = new IPMode(Preferences::sharedInstance(),
                                       [] { return defaultPriorityParser::sharedInstance(); });
    return *shared;
}

IPMode::IPMode(Preferences& prefs)
    : IPMode(prefs, [&prefs] { return std::make_shared<quellbox::defaultPriorityParser>(prefs); }) {
}

IPMode::IPMode(Preferences& prefs, DefaultPrioritiesSource source)
    : prefs_(prefs), defaultPrioritiesSource_(std::move(source)) {}

IPMode::~IPMode() = default;

void IPMode::activate(bool on) {
    if (parts_.load(std::memory_order_acquire) == nullptr) {
        // Made without holding the lock: reading the log and the default priorities may
        // post an alert, whose handler must be free to call back in.
        auto fresh = std::make_unique<Parts>(prefs_, defaultPrioritiesSource_());
        std::lock_guard guard(activationLock);
        if (!ownedParts_) {
            ownedParts_ = std::move(fresh);
            parts_.store(ownedParts_.get(), std::memory_order_release);
        }
    }
    std::lock_guard guard(activationLock);
    if (!on) {
        // Off first, so that the engine stops filling the tables before they are emptied.
        isActivated_.store(false, std::memory_order_release);
        ownedParts_->iptable.clear();
        ownedParts_->iptableForTheInactive.clear();
        ownedParts_->waitingForInfoTable.clear();
        ownedParts_->lparser.rewindToBeginning();
    }
    isActivated_.store(on, std::memory_order_release);
}

LogParser* IPMode::logParser() const {
    Parts* parts = parts_.load(std::memory_order_acquire);
    return parts != nullptr ? &parts->lparser : nullptr;
}

IPTable* IPMode::ipTable() const {
    Parts* parts = parts_.load(std::memory_order_acquire);
    return parts != nullptr ? &parts->iptable : nullptr;
}

IPTable* IPMode::ipTableForTheInactive() const {
    Parts* parts = parts_.load(std::memory_order_acquire);
    return parts != nullptr ? &parts->iptableForTheInactive : nullptr;
}

IPTable* IPMode::waitingForInfoTable() const {
    Parts* parts = parts_.load(std::memory_order_acquire);
    return parts != nullptr ? &parts->waitingForInfoTable : nullptr;
}

quellbox::defaultPriorityParser* IPMode::defaultPriorityParser() const {
    Parts* parts = parts_.load(std::memory_order_acquire);
    return parts != nullptr ? parts->defPrio.get() : nullptr;
}

}  // namespace quellbox
