#include "settings/RateSchedule.h"

#include <ctime>
#include <iomanip>
#include <sstream>

#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

namespace quellbox {

namespace {

constexpr int kMinutesPerWeek = 7 * SchedulePeriod::kMinutesPerDay;
constexpr int kSecondsPerWeek = kMinutesPerWeek * 60;

int secondOfWeek(LocalWeekTime now) {
    return now.weekday * SchedulePeriod::kMinutesPerDay * 60 + now.secondOfDay;
}

// Seconds from `from` forward to `to` around the week, in [0, one week).
int secondsForward(int from, int to) {
    return ((to - from) % kSecondsPerWeek + kSecondsPerWeek) % kSecondsPerWeek;
}

bool inForce(const SchedulePeriod& period, int second) {
    for (int weekday = 0; weekday < 7; ++weekday) {
        if (!period.runsOn(weekday)) {
            continue;
        }
        const int start = (weekday * SchedulePeriod::kMinutesPerDay + period.startMinute) * 60;
        // A Sunday period across midnight goes on into Monday, the start of the week.
        if (secondsForward(start, second) < period.lengthMinutes() * 60) {
            return true;
        }
    }
    return false;
}

std::string rateText(float value) {
    std::ostringstream text;
    text << std::setprecision(6) << value;
    return text.str();
}

}  // namespace

LocalWeekTime RateSchedule::localNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return {};
    }
    // tm_wday counts from Sunday.
    return {(local.tm_wday + 6) % 7, local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec};
}

RateSchedule RateSchedule::fromPlist(const std::optional<PlistValue>& stored) {
    std::vector<SchedulePeriod> periods;
    if (!stored || !stored->isArray()) {
        if (stored) {
            SystemLog::log("the stored rate schedule is not an array: no period is used");
        }
        return RateSchedule();
    }
    const PlistValue::Array& entries = stored->asArray();
    for (std::size_t row = 0; row < entries.size(); ++row) {
        std::string problem;
        if (auto period = SchedulePeriod::fromPlist(entries[row], problem)) {
            periods.push_back(std::move(*period));
        } else {
            SystemLog::logf("the rate schedule's entry %zu is skipped: %s", row + 1,
                            problem.c_str());
        }
    }
    return RateSchedule(std::move(periods));
}

RateSchedule RateSchedule::fromPreferences(const Preferences& preferences) {
    return fromPlist(preferences.arrayForKey(keys::rateSchedule));
}

PlistValue RateSchedule::toPlist() const {
    PlistValue::Array entries;
    for (const SchedulePeriod& period : periods_) {
        entries.push_back(period.toPlist());
    }
    return PlistValue(std::move(entries));
}

std::optional<std::size_t> RateSchedule::inForceAt(LocalWeekTime now) const {
    const int second = secondOfWeek(now);
    for (std::size_t row = periods_.size(); row-- > 0;) {
        if (inForce(periods_[row], second)) {
            return row;
        }
    }
    return std::nullopt;
}

std::optional<std::chrono::seconds> RateSchedule::nextChangeAfter(LocalWeekTime now) const {
    const int second = secondOfWeek(now);
    std::optional<int> soonest;
    for (const SchedulePeriod& period : periods_) {
        for (int weekday = 0; weekday < 7; ++weekday) {
            if (!period.runsOn(weekday)) {
                continue;
            }
            const int start = (weekday * SchedulePeriod::kMinutesPerDay + period.startMinute) * 60;
            for (const int edge : {start, start + period.lengthMinutes() * 60}) {
                int wait = secondsForward(second, edge);
                if (wait == 0) {
                    wait = kSecondsPerWeek;
                }
                if (!soonest || wait < *soonest) {
                    soonest = wait;
                }
            }
        }
    }
    if (!soonest) {
        return std::nullopt;
    }
    return std::chrono::seconds(*soonest);
}

std::string RateSchedule::describe(const SchedulePeriod& period) {
    std::string text =
        "Schedule: " + (period.name.empty() ? std::string("a period") : period.name) + " until " +
        SchedulePeriod::timeText(period.endMinute) + " (upload " + rateText(period.uploadRate) +
        " KiB/s";
    if (period.download == SchedulePeriod::Download::Rate) {
        text += ", download " + rateText(period.downloadValue) + " KiB/s";
    } else if (period.download == SchedulePeriod::Download::Pause) {
        text += ", pause " + rateText(period.downloadValue) + " µs";
    }
    return text + ")";
}

}  // namespace quellbox
