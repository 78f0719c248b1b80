#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/PlistValue.h"
#include "settings/SchedulePeriod.h"

namespace quellbox {

class Preferences;

// A moment of the local week: the day (0 is Monday, 6 Sunday) and the second of that day.
struct LocalWeekTime {
    int weekday = 0;
    int secondOfDay = 0;
};

// The schedule of alternative rates: the periods in the order of their rows. It answers which
// period is in force at a moment of the local week (the later row where periods overlap) and
// how long until the answer may next change, so that a front end sets a timer to that moment
// instead of asking every second.
class RateSchedule {
public:
    using Clock = std::function<LocalWeekTime()>;

    RateSchedule() = default;
    explicit RateSchedule(std::vector<SchedulePeriod> periods) : periods_(std::move(periods)) {}

    // The moment of the week on this machine's clock in its time zone.
    static LocalWeekTime localNow();

    // The stored array of periods; entries that are not valid periods are skipped, each with
    // a line in the system log. Anything but an array is an empty schedule.
    static RateSchedule fromPlist(const std::optional<PlistValue>& stored);
    static RateSchedule fromPreferences(const Preferences& preferences);
    PlistValue toPlist() const;

    const std::vector<SchedulePeriod>& periods() const { return periods_; }
    bool empty() const { return periods_.empty(); }

    // The row of the period in force at `now`, or nothing.
    std::optional<std::size_t> inForceAt(LocalWeekTime now) const;
    // Seconds from `now` to the next start or end of a period (at least 1), or nothing for an
    // empty schedule.
    std::optional<std::chrono::seconds> nextChangeAfter(LocalWeekTime now) const;

    // "Schedule: NAME until HH:MM (upload R KiB/s, …)", the window's and the status line's
    // note of a period in force.
    static std::string describe(const SchedulePeriod& period);

private:
    std::vector<SchedulePeriod> periods_;
};

}  // namespace quellbox
