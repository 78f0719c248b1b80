#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/EngineControls.h"
#include "settings/RateSchedule.h"

namespace quellbox {

// Stands between a front end and the engine and lets the rate schedule take over the rates:
// the front end sets its own upload rate and download pause as before; while a period is in
// force the engine gets the period's instead, and when the period ends the front end's latest
// ones come back. Every other operation goes straight through. An upload cap switched off
// (a negative rate) stays off in a period.
class ScheduledRates : public EngineControls {
public:
    // The front end's rates start as the engine's current ones.
    ScheduledRates(EngineControls& engine, RateSchedule schedule);

    // Puts the period in force at `now` into effect, or the front end's rates when none is;
    // answers the period in force.
    std::optional<SchedulePeriod> update(LocalWeekTime now);
    // Takes an edited schedule; the next update() applies it.
    void setSchedule(RateSchedule schedule);
    // The front end's own rates back for good (the quit's wind-down lowers those).
    void release();
    // When the schedule's answer may next change (RateSchedule::nextChangeAfter).
    std::optional<std::chrono::seconds> nextChangeAfter(LocalWeekTime now) const;

    int addULService(const std::shared_ptr<Service>& service) override;
    int removeULService(const std::shared_ptr<Service>& service) override;
    int addDLService(const std::shared_ptr<Service>& service) override;
    int removeDLService(const std::shared_ptr<Service>& service) override;
    int setDATARate(float rate) override;
    float getDATARate() const override;
    int setACKPause(float pause) override;
    float getACKPause() const override;
    int setDownloadRate(bool on, float kibPerSecond) override;
    bool isDownloadRateOn() const override;
    float getDownloadRate() const override;
    void setPriorityFactor(std::int32_t factor) override;
    void setMaxQueueDelay(std::chrono::milliseconds bound) override;
    void addTrafficListener(std::shared_ptr<TrafficListener> listener) override;
    void removeTrafficListener(const TrafficListener* listener) override;

private:
    // Under lock_.
    int applyRate();
    int applyPause();

    EngineControls& engine_;
    mutable std::mutex lock_;
    RateSchedule schedule_;
    std::optional<SchedulePeriod> period_;
    bool released_ = false;
    float frontEndRate_;
    float frontEndPause_;
    bool frontEndDownloadOn_;
    float frontEndDownloadRate_;
};

}  // namespace quellbox
