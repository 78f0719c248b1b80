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

SchedulePeriod period(std::string name, std::uint8_t days, int start, int end, float rate) {
    SchedulePeriod p;
    p.name = std::move(name);
    p.days = days;
    p.startMinute = start;
    p.endMinute = end;
    p.uploadRate = rate;
    return p;
}

LocalWeekTime at(int weekday, int hour, int minute, int second = 0) {
    return {weekday, hour * 3600 + minute * 60 + second};
}

// Rows: 0 weeknights 22:00-07:00 (across midnight), 1 Saturday all day (start == end at 00:00),
// 2 weekdays 06:30-08:00 (overlaps the end of row 0 and wins there, being later),
// 3 Sunday 23:00-01:00 (across midnight into Monday, the start of the next week).
RateSchedule sampleSchedule() {
    return RateSchedule({period("Weeknights", kWeekdays, 22 * 60, 7 * 60, 100.0F),
                         period("Saturday", 1U << kSat, 0, 0, 80.0F),
                         period("Morning", kWeekdays, 6 * 60 + 30, 8 * 60, 20.0F),
                         period("Sunday late", 1U << kSun, 23 * 60, 1 * 60, 60.0F)});
}

struct Moment {
    const char* what;
    LocalWeekTime time;
    std::optional<std::size_t> row;
};

TEST(RateSchedule, PeriodInForceAtEachMoment) {
    const RateSchedule schedule = sampleSchedule();
    const Moment moments[] = {
        {"a minute before the start", at(kMon, 21, 59, 59), std::nullopt},
        {"at the start minute", at(kMon, 22, 0), 0},
        {"after midnight, the day after the ticked day", at(kTue, 3, 0), 0},
        {"Friday's night runs into Saturday morning", at(kSat, 6, 59, 59), 1},
        {"the overlapping later row wins", at(kTue, 6, 30), 2},
        {"the later row's end", at(kTue, 8, 0), std::nullopt},
        {"the first row's end, inside the later row", at(kTue, 7, 0), 2},
        {"whole Saturday from midnight", at(kSat, 0, 0), 1},
        {"Saturday's last second", at(kSat, 23, 59, 59), 1},
        {"no weeknight from Saturday into Sunday", at(kSun, 3, 0), std::nullopt},
        {"Sunday's night wraps into Monday", at(kMon, 0, 59, 59), 3},
        {"and ends at its end", at(kMon, 1, 0), std::nullopt},
        {"Sunday night before midnight", at(kSun, 23, 0), 3},
    };
    for (const Moment& moment : moments) {
        EXPECT_EQ(schedule.inForceAt(moment.time), moment.row) << moment.what;
    }
}

TEST(RateSchedule, NextChangeIsTheNearestStartOrEnd) {
    const RateSchedule schedule = sampleSchedule();
    struct Case {
        const char* what;
        LocalWeekTime time;
        long long seconds;
    };
    const Case cases[] = {
        {"to Monday's 01:00 end of Sunday's night", at(kMon, 0, 30), 30 * 60},
        {"to the evening start", at(kMon, 21, 59, 30), 30},
        {"at a start, the next edge, not now", at(kMon, 22, 0), 8 * 3600 + 30 * 60},
        {"to the later row's start inside a period", at(kTue, 6, 0), 30 * 60},
        {"from Sunday morning to Sunday's 23:00", at(kSun, 3, 0), 20 * 3600},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(schedule.nextChangeAfter(c.time), std::chrono::seconds(c.seconds)) << c.what;
    }
    EXPECT_EQ(RateSchedule().nextChangeAfter(at(kMon, 0, 0)), std::nullopt);
}

TEST(RateSchedule, StoredAndLoadedAgainSkippingBadEntries) {
    testing::TempDir dir;
    RateSchedule schedule = sampleSchedule();
    std::vector<SchedulePeriod> periods = schedule.periods();
    periods[0].download = SchedulePeriod::Download::Pause;
    periods[0].downloadValue = 5000.0F;
    periods[1].download = SchedulePeriod::Download::Rate;
    periods[1].downloadValue = 250.0F;
    PlistValue stored = RateSchedule(periods).toPlist();
    // Entries edited by hand into the file: each is skipped with a log line.
    PlistValue::Dictionary noDay = periods[2].toPlist().asDictionary();
    noDay["days"] = PlistValue(PlistValue::Array{});
    PlistValue::Dictionary badTime = periods[2].toPlist().asDictionary();
    badTime["end"] = PlistValue("24:00");
    PlistValue::Dictionary negativeRate = periods[2].toPlist().asDictionary();
    negativeRate["uploadRate"] = PlistValue(-5.0);
    PlistValue::Dictionary bothDownloads = periods[0].toPlist().asDictionary();
    bothDownloads["downloadRate"] = PlistValue(10.0);
    auto& entries = stored.asArray();
    entries.insert(entries.begin() + 1, PlistValue("not a period"));
    entries.emplace_back(noDay);
    entries.emplace_back(badTime);
    entries.emplace_back(negativeRate);
    entries.emplace_back(bothDownloads);

    const auto file = dir / "Quellbox.plist";
    {
        auto store = std::make_shared<UserDefaults>(file);
        RegisteredDefaults::registerWith(*store);
        Preferences prefs(store);
        EXPECT_TRUE(RateSchedule::fromPreferences(prefs).empty()) << "no period by default";
        prefs.setObject(stored, keys::rateSchedule);
        ASSERT_TRUE(prefs.saveLocalPref());
    }
    auto store = std::make_shared<UserDefaults>(file);
    RegisteredDefaults::registerWith(*store);
    Preferences prefs(store);
    SystemLogCapture log;
    const RateSchedule loaded = RateSchedule::fromPreferences(prefs);
    EXPECT_EQ(loaded.periods(), periods);
    EXPECT_EQ(log.lines().size(), 5U);
}

}  // namespace
}  // namespace quellbox
