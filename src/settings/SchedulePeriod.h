#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/PlistValue.h"

namespace quellbox {

// One row of the rate schedule: on the ticked days of the week, from a start to an end time
// of day, an upload rate and a download cap replace the window's own. A period whose end is
// before its start runs across midnight into the next day (the day ticked is the day it
// starts); the end is exclusive; a start equal to the end lasts a whole day from the start.
struct SchedulePeriod {
    enum class Download { None, Rate, Pause };

    static constexpr int kMinutesPerDay = 24 * 60;
    static constexpr std::uint8_t kEveryDay = 0x7F;
    // The bounds a stored or typed value must keep.
    static constexpr double kLowestUploadRate = 0.1;            // KiB/s
    static constexpr double kHighestRate = 10.0 * 1024 * 1024;  // KiB/s
    static constexpr double kLongestPause = 1000000.0;          // microseconds

    std::string name;
    // Bit 0 is Monday, bit 6 Sunday.
    std::uint8_t days = 0;
    int startMinute = 0;  // minutes after midnight, 0 to 1439
    int endMinute = 0;
    float uploadRate = 0.0F;  // KiB/s
    Download download = Download::None;
    // KiB/s for Download::Rate, microseconds for Download::Pause.
    float downloadValue = 0.0F;

    bool runsOn(int weekday) const { return (days >> weekday & 1U) != 0; }
    // How long the period lasts from its start, in minutes (1 to 1440).
    int lengthMinutes() const;
    // At least one day, times within the day, rates and pause within their bounds.
    bool isValid() const;

    // The stored form: a dictionary with "name", "days" (an array of 1 = Monday to 7 =
    // Sunday), "start" and "end" ("HH:MM"), "uploadRate", and "downloadRate" or
    // "downloadPause" (or neither).
    PlistValue toPlist() const;
    // Nothing, and `problem` says why, for a stored entry that is not a valid period.
    static std::optional<SchedulePeriod> fromPlist(const PlistValue& stored, std::string& problem);

    // "HH:MM" for a minute of the day; the minute of "HH:MM", or nothing for other text.
    static std::string timeText(int minuteOfDay);
    static std::optional<int> minuteOfText(const std::string& text);

    bool operator==(const SchedulePeriod&) const = default;
};

}  // namespace quellbox
