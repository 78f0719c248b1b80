#include <gtest/gtest.h>

#include <cmath>

#include "RecordingEngineControls.h"
#include "engine/ScheduledRates.h"

namespace quellbox {
namespace {

using testing::RecordingEngineControls;

SchedulePeriod night(SchedulePeriod::Download download, float value) {
    SchedulePeriod p;
    p.name = "Night";
    p.days = SchedulePeriod::kEveryDay;
    p.startMinute = 22 * 60;
    p.endMinute = 7 * 60;
    p.uploadRate = 100.0F;
    p.download = download;
    p.downloadValue = value;
    return p;
}

constexpr LocalWeekTime kEvening{0, 21 * 3600 + 59 * 60};
constexpr LocalWeekTime kNight{0, 22 * 3600};
constexpr LocalWeekTime kMorning{1, 7 * 3600};

// What the engine holds after the front end sets its rates at a moment.
struct Step {
    const char* what;
    LocalWeekTime time;
    std::optional<float> frontEndRate;
    std::optional<float> frontEndPause;
    float engineRate;
    float enginePause;
};

void run(ScheduledRates& rates, const RecordingEngineControls& engine,
         std::initializer_list<Step> steps) {
    for (const Step& step : steps) {
        // The engine takes every value here, so every call reports success.
        if (step.frontEndRate) {
            EXPECT_EQ(rates.setDATARate(*step.frontEndRate), 0) << step.what;
        }
        if (step.frontEndPause) {
            EXPECT_EQ(rates.setACKPause(*step.frontEndPause), 0) << step.what;
        }
        rates.update(step.time);
        EXPECT_EQ(engine.getDATARate(), step.engineRate) << step.what;
        EXPECT_EQ(engine.getACKPause(), step.enginePause) << step.what;
    }
}

TEST(ScheduledRates, PeriodReplacesTheFrontEndsRatesAndGivesTheLatestBack) {
    RecordingEngineControls engine(42.0F);
    ScheduledRates rates(engine, RateSchedule({night(SchedulePeriod::Download::Pause, 5000.0F)}));
    run(rates, engine,
        {{"before the period: the front end's own", kEvening, std::nullopt, 300.0F, 42.0F, 300.0F},
         {"the period begins", kNight, std::nullopt, std::nullopt, 100.0F, 5000.0F},
         {"the slider moves in the period: kept aside", kNight, 50.0F, 700.0F, 100.0F, 5000.0F},
         {"the period ends: the latest front-end rates", kMorning, std::nullopt, std::nullopt,
          50.0F, 700.0F},
         {"after it, the front end's rates reach the engine", kMorning, 45.0F, std::nullopt, 45.0F,
          700.0F}});
}

TEST(ScheduledRates, UncappedUploadAndPeriodWithoutPauseKeepTheFrontEndsValues) {
    RecordingEngineControls engine(42.0F);
    ScheduledRates rates(engine, RateSchedule({night(SchedulePeriod::Download::None, 0.0F)}));
    run(rates, engine,
        {{"the period sets the upload only", kNight, std::nullopt, 900.0F, 100.0F, 900.0F},
         {"the upload cap switched off stays off", kNight, -1.0F, std::nullopt, -1.0F, 900.0F},
         {"switched on again: the period's rate", kNight, 42.0F, std::nullopt, 100.0F, 900.0F}});
}

TEST(ScheduledRates, ReleaseAndEditedScheduleGiveTheRatesBack) {
    RecordingEngineControls engine(42.0F);
    ScheduledRates rates(engine, RateSchedule({night(SchedulePeriod::Download::Pause, 5000.0F)}));
    rates.update(kNight);
    rates.setSchedule(RateSchedule());
    EXPECT_EQ(rates.update(kNight), std::nullopt) << "the period was removed from the schedule";
    EXPECT_EQ(engine.getDATARate(), 42.0F);

    rates.setSchedule(RateSchedule({night(SchedulePeriod::Download::Pause, 5000.0F)}));
    rates.update(kNight);
    EXPECT_EQ(engine.getDATARate(), 100.0F);
    rates.release();
    EXPECT_EQ(engine.getDATARate(), 42.0F) << "the wind-down starts from the front end's rate";
    rates.setDATARate(28.0F);
    EXPECT_EQ(rates.update(kNight), std::nullopt);
    EXPECT_EQ(engine.getDATARate(), 28.0F) << "the wind-down's steps reach the engine";
}

TEST(ScheduledRates, RefusedDownloadRateIsNotPassedOn) {
    struct DownloadCounting : RecordingEngineControls {
        int setDownloadRate(bool, float) override {
            ++calls;
            return 0;
        }
        int calls = 0;
    } engine;
    ScheduledRates rates(engine, RateSchedule());
    for (const float bad : {0.0F, -5.0F, std::nanf(""), INFINITY}) {
        EXPECT_EQ(rates.setDownloadRate(true, bad), -1) << bad;
    }
    EXPECT_EQ(engine.calls, 0);
}

}  // namespace
}  // namespace quellbox
