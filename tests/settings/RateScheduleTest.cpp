#include <gtest/gtest.h>

#include <optional>

#include "TempDir.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/RateSchedule.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox {
namespace {

constexpr int kMon = 0, kTue = 1, kSat = 5, kSun = 6;
constexpr std::uint8_t kWeekdays = 0x1F;  // Monday to Friday

LocalWeekTime at(int weekday, int hour, int minute, int second = 0) {
    return {weekday, hour * 3600 + minute * 60 + second};
}

// Rows: 0 weeknights 22:00-07:00 (across midnight), 1 Saturday all day (start == end at 00:00),
// 2 weekdays 06:30-08:00 (overlaps the end of row 0 and wins there, being later),
// 3 Sunday 23:00-01:00 (across midnight into Monday, the start of the next week).
RateSchedule sampleSchedule() {
    return RateSchedule({{"Weeknights", kWeekdays, 22 * 60, 7 * 60, 100.0F},
                         {"Saturday", 1U << kSat, 0, 0, 80.0F},
                         {"Morning", kWeekdays, 6 * 60 + 30, 8 * 60, 20.0F},
                         {"Sunday late", 1U << kSun, 23 * 60, 1 * 60, 60.0F}});
}

TEST(RateSchedule, PeriodInForceAndNextChangeAtEachMoment) {
    const RateSchedule schedule = sampleSchedule();
    constexpr long long kUnchecked = -1;
    const struct {
        const char* what;
        LocalWeekTime time;
        std::optional<std::size_t> row;
        long long secondsToChange;
    } moments[] = {
        {"a second before the start", at(kMon, 21, 59, 59), std::nullopt, 1},
        {"at the start minute, the next edge, not now", at(kMon, 22, 0), 0, 8 * 3600 + 30 * 60},
        {"after midnight, the day after the ticked day", at(kTue, 3, 0), 0, kUnchecked},
        {"Friday's night runs into Saturday morning", at(kSat, 6, 59, 59), 1, kUnchecked},
        {"the overlapping later row wins", at(kTue, 6, 30), 2, kUnchecked},
        {"the later row's start inside a period", at(kTue, 6, 0), 0, 30 * 60},
        {"the later row's end", at(kTue, 8, 0), std::nullopt, kUnchecked},
        {"the first row's end, inside the later row", at(kTue, 7, 0), 2, kUnchecked},
        {"whole Saturday from midnight", at(kSat, 0, 0), 1, kUnchecked},
        {"Saturday's last second", at(kSat, 23, 59, 59), 1, kUnchecked},
        {"no weeknight from Saturday into Sunday", at(kSun, 3, 0), std::nullopt, 20 * 3600},
        {"Sunday's night wraps into Monday", at(kMon, 0, 30), 3, 30 * 60},
        {"Sunday's night's last second", at(kMon, 0, 59, 59), 3, kUnchecked},
        {"and ends at its end", at(kMon, 1, 0), std::nullopt, kUnchecked},
        {"Sunday night before midnight", at(kSun, 23, 0), 3, kUnchecked},
    };
    for (const auto& moment : moments) {
        EXPECT_EQ(schedule.inForceAt(moment.time), moment.row) << moment.what;
        if (moment.secondsToChange != kUnchecked) {
            EXPECT_EQ(schedule.nextChangeAfter(moment.time),
                      std::chrono::seconds(moment.secondsToChange))
                << moment.what;
        }
    }
    EXPECT_EQ(RateSchedule().nextChangeAfter(at(kMon, 0, 0)), std::nullopt);
}

// The line the window and the headless status show for the period in force.
TEST(RateSchedule, DescriptionNamesTheEndAndEveryRateThePeriodSets) {
    SchedulePeriod period{"", kWeekdays, 22 * 60, 7 * 60, 12.5F};
    EXPECT_EQ(RateSchedule::describe(period), "Schedule: a period until 07:00 (upload 12.5 KiB/s)");
    period.name = "Night";
    period.download = SchedulePeriod::Download::Rate;
    period.downloadValue = 40.0F;
    EXPECT_EQ(RateSchedule::describe(period),
              "Schedule: Night until 07:00 (upload 12.5 KiB/s, download 40 KiB/s)");
    period.download = SchedulePeriod::Download::Pause;
    EXPECT_EQ(RateSchedule::describe(period),
              "Schedule: Night until 07:00 (upload 12.5 KiB/s, pause 40 \u00b5s)");
}

TEST(RateSchedule, StoredAndLoadedAgainSkippingBadEntries) {
    testing::TempDir dir;
    std::vector<SchedulePeriod> periods = sampleSchedule().periods();
    periods[0].download = SchedulePeriod::Download::Pause;
    periods[0].downloadValue = 5000.0F;
    periods[1].download = SchedulePeriod::Download::Rate;
    periods[1].downloadValue = 250.0F;
    PlistValue stored = RateSchedule(periods).toPlist();
    // Entries edited by hand into the file: each is skipped with a log line.
    auto& entries = stored.asArray();
    entries.insert(entries.begin() + 1, PlistValue("not a period"));
    const std::pair<const char*, PlistValue> badEdits[] = {
        {"days", PlistValue(PlistValue::Array{})},
        {"end", PlistValue("24:00")},
        {"uploadRate", PlistValue(-5.0)},
        {"downloadRate", PlistValue(10.0)},  // beside the pause
    };
    for (const auto& [key, value] : badEdits) {
        PlistValue::Dictionary entry = periods[0].toPlist().asDictionary();
        entry[key] = value;
        entries.emplace_back(entry);
    }

    auto store = std::make_shared<UserDefaults>(dir / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store);
    Preferences prefs(store);
    EXPECT_TRUE(RateSchedule::fromPreferences(prefs).empty()) << "no period by default";
    prefs.setObject(stored, keys::rateSchedule);
    SystemLogCapture log;
    EXPECT_EQ(RateSchedule::fromPreferences(prefs).periods(), periods);
    EXPECT_EQ(log.lines().size(), 5U);
}

// Times are written "HH:MM" within one day; anything else in the file or the table is refused
// (a space-padded hour too, which would otherwise count as a negative hour).
TEST(SchedulePeriod, TimesAreTwoDigitsAColonAndTwoDigitsWithinADay) {
    const std::pair<const char*, std::optional<int>> texts[] = {
        {"00:00", 0},
        {"23:59", 1439},
        {"07:05", 425},
        {" 9:30", std::nullopt},
        {"1x:30", std::nullopt},
        {"12: 5", std::nullopt},
        {"12:3x", std::nullopt},
        {"12-30", std::nullopt},
        {"24:00", std::nullopt},
        {"12:60", std::nullopt},
        {"1:30", std::nullopt},
        {"12:300", std::nullopt},
    };
    for (const auto& [text, minute] : texts) {
        EXPECT_EQ(SchedulePeriod::minuteOfText(text), minute) << text;
    }
    SchedulePeriod period{"Night", kWeekdays, 22 * 60, 7 * 60, 100.0F};
    EXPECT_TRUE(period.isValid());
    for (int* minute : {&period.startMinute, &period.endMinute}) {
        const int kept = *minute;
        for (const int bad : {-1, SchedulePeriod::kMinutesPerDay}) {
            *minute = bad;
            EXPECT_FALSE(period.isValid()) << bad;
        }
        *minute = kept;
    }
}

}  // namespace
}  // namespace quellbox
