#include "engine/ScheduledRates.h"

#include "platform/SystemLog.h"

namespace quellbox {

ScheduledRates::ScheduledRates(EngineControls& engine, RateSchedule schedule)
    : engine_(engine),
      schedule_(std::move(schedule)),
      frontEndRate_(engine.getDATARate()),
      frontEndPause_(engine.getACKPause()) {}

std::optional<SchedulePeriod> ScheduledRates::update(LocalWeekTime now) {
    std::lock_guard guard(lock_);
    std::optional<SchedulePeriod> period;
    if (!released_) {
        if (const auto row = schedule_.inForceAt(now)) {
            period = schedule_.periods()[*row];
        }
    }
    if (period != period_) {
        if (period_) {
            SystemLog::logf("the scheduled period \"%s\" ends", period_->name.c_str());
        }
        period_ = period;
        if (period_) {
            SystemLog::logf("the scheduled period \"%s\" begins", period_->name.c_str());
        }
        applyRate();
        applyPause();
    }
    return period_;
}

void ScheduledRates::setSchedule(RateSchedule schedule) {
    std::lock_guard guard(lock_);
    schedule_ = std::move(schedule);
}

void ScheduledRates::release() {
    std::lock_guard guard(lock_);
    released_ = true;
    if (period_) {
        period_.reset();
        applyRate();
        applyPause();
    }
}

std::optional<std::chrono::seconds> ScheduledRates::nextChangeAfter(LocalWeekTime now) const {
    std::lock_guard guard(lock_);
    return schedule_.nextChangeAfter(now);
}

int ScheduledRates::applyRate() {
    const bool capped = frontEndRate_ >= 0.0F;
    return engine_.setDATARate(period_ && capped ? period_->uploadRate : frontEndRate_);
}

int ScheduledRates::applyPause() {
    // A period's download rate needs the engine's download rate mode, which EngineControls
    // does not offer yet: such a period leaves the front end's pause in force until it does.
    if (period_ && period_->download == SchedulePeriod::Download::Pause) {
        return engine_.setACKPause(period_->downloadValue);
    }
    return engine_.setACKPause(frontEndPause_);
}

int ScheduledRates::setDATARate(float rate) {
    std::lock_guard guard(lock_);
    frontEndRate_ = rate;
    return applyRate();
}

float ScheduledRates::getDATARate() const { return engine_.getDATARate(); }

int ScheduledRates::setACKPause(float pause) {
    std::lock_guard guard(lock_);
    frontEndPause_ = pause;
    return applyPause();
}

float ScheduledRates::getACKPause() const { return engine_.getACKPause(); }

int ScheduledRates::addULService(const std::shared_ptr<Service>& service) {
    return engine_.addULService(service);
}

int ScheduledRates::removeULService(const std::shared_ptr<Service>& service) {
    return engine_.removeULService(service);
}

int ScheduledRates::addDLService(const std::shared_ptr<Service>& service) {
    return engine_.addDLService(service);
}

int ScheduledRates::removeDLService(const std::shared_ptr<Service>& service) {
    return engine_.removeDLService(service);
}

void ScheduledRates::setPriorityFactor(std::int32_t factor) { engine_.setPriorityFactor(factor); }

void ScheduledRates::setMaxQueueDelay(std::chrono::milliseconds bound) {
    engine_.setMaxQueueDelay(bound);
}

void ScheduledRates::addTrafficListener(std::shared_ptr<TrafficListener> listener) {
    engine_.addTrafficListener(std::move(listener));
}

void ScheduledRates::removeTrafficListener(const TrafficListener* listener) {
    engine_.removeTrafficListener(listener);
}

}  // namespace quellbox
