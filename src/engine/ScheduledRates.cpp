#include "engine/ScheduledRates.h"

#include <cmath>

#include "platform/SystemLog.h"

namespace quellbox {

ScheduledRates::ScheduledRates(EngineControls& engine, RateSchedule schedule)
    : engine_(engine),
      schedule_(std::move(schedule)),
      frontEndRate_(engine.getDATARate()),
      frontEndPause_(engine.getACKPause()),
      frontEndDownloadOn_(engine.isDownloadRateOn()),
      frontEndDownloadRate_(engine.getDownloadRate()) {}

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
    using Download = SchedulePeriod::Download;
    if (!period_ || period_->download == Download::None) {
        // The pause goes first: in the download rate mode the engine keeps it aside for when
        // the mode goes off.
        const int pause = engine_.setACKPause(frontEndPause_);
        const int mode = engine_.setDownloadRate(frontEndDownloadOn_, frontEndDownloadRate_);
        return pause < 0 || mode < 0 ? -1 : 0;
    }
    if (period_->download == Download::Rate) {
        return engine_.setDownloadRate(true, period_->downloadValue);
    }
    if (engine_.setDownloadRate(false, frontEndDownloadRate_) < 0) {
        return -1;
    }
    return engine_.setACKPause(period_->downloadValue);
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

int ScheduledRates::setDownloadRate(bool on, float kibPerSecond) {
    if (on && !(std::isfinite(kibPerSecond) && kibPerSecond > 0.0F)) {
        return -1;
    }
    std::lock_guard guard(lock_);
    frontEndDownloadOn_ = on;
    if (on) {
        frontEndDownloadRate_ = kibPerSecond;
    }
    return applyPause();
}

bool ScheduledRates::isDownloadRateOn() const { return engine_.isDownloadRateOn(); }

float ScheduledRates::getDownloadRate() const { return engine_.getDownloadRate(); }

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
