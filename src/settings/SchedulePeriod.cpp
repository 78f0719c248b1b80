#include "settings/SchedulePeriod.h"

#include <cmath>
#include <cstdio>

namespace quellbox {

namespace {

constexpr const char* kName = "name";
constexpr const char* kDays = "days";
constexpr const char* kStart = "start";
constexpr const char* kEnd = "end";
constexpr const char* kUploadRate = "uploadRate";
constexpr const char* kDownloadRate = "downloadRate";
constexpr const char* kDownloadPause = "downloadPause";

bool within(double value, double lowest, double highest) {
    return std::isfinite(value) && value >= lowest && value <= highest;
}

const PlistValue* member(const PlistValue::Dictionary& entry, const char* key) {
    const auto found = entry.find(key);
    return found == entry.end() ? nullptr : &found->second;
}

std::optional<std::uint8_t> daysOf(const PlistValue& stored) {
    if (!stored.isArray()) {
        return std::nullopt;
    }
    std::uint8_t days = 0;
    for (const PlistValue& day : stored.asArray()) {
        if (day.type() != PlistValue::Type::Integer || day.integerValue() < 1 ||
            day.integerValue() > 7) {
            return std::nullopt;
        }
        days |= static_cast<std::uint8_t>(1U << (day.integerValue() - 1));
    }
    return days;
}

std::optional<int> timeOf(const PlistValue* stored) {
    if (stored == nullptr || !stored->isString()) {
        return std::nullopt;
    }
    return SchedulePeriod::minuteOfText(stored->asString());
}

}  // namespace

int SchedulePeriod::lengthMinutes() const {
    const int length = (endMinute - startMinute + kMinutesPerDay) % kMinutesPerDay;
    return length == 0 ? kMinutesPerDay : length;
}

bool SchedulePeriod::isValid() const {
    const bool timesValid = startMinute >= 0 && startMinute < kMinutesPerDay && endMinute >= 0 &&
                            endMinute < kMinutesPerDay;
    const bool downloadValid =
        download == Download::None ||
        (download == Download::Rate && within(downloadValue, kLowestUploadRate, kHighestRate)) ||
        (download == Download::Pause && within(downloadValue, 0.0, kLongestPause));
    return days != 0 && (days & ~kEveryDay) == 0 && timesValid &&
           within(uploadRate, kLowestUploadRate, kHighestRate) && downloadValid;
}

PlistValue SchedulePeriod::toPlist() const {
    PlistValue::Array dayNumbers;
    for (int weekday = 0; weekday < 7; ++weekday) {
        if (runsOn(weekday)) {
            dayNumbers.emplace_back(weekday + 1);
        }
    }
    PlistValue::Dictionary entry{{kName, PlistValue(name)},
                                 {kDays, PlistValue(std::move(dayNumbers))},
                                 {kStart, PlistValue(timeText(startMinute))},
                                 {kEnd, PlistValue(timeText(endMinute))},
                                 {kUploadRate, PlistValue(static_cast<double>(uploadRate))}};
    if (download == Download::Rate) {
        entry.emplace(kDownloadRate, PlistValue(static_cast<double>(downloadValue)));
    } else if (download == Download::Pause) {
        entry.emplace(kDownloadPause, PlistValue(static_cast<double>(downloadValue)));
    }
    return PlistValue(std::move(entry));
}

std::optional<SchedulePeriod> SchedulePeriod::fromPlist(const PlistValue& stored,
                                                        std::string& problem) {
    if (!stored.isDictionary()) {
        problem = "not a dictionary";
        return std::nullopt;
    }
    const PlistValue::Dictionary& entry = stored.asDictionary();
    SchedulePeriod period;
    if (const PlistValue* name = member(entry, kName)) {
        period.name = name->stringValue();
    }
    const PlistValue* days = member(entry, kDays);
    const auto dayMask = days == nullptr ? std::nullopt : daysOf(*days);
    const auto start = timeOf(member(entry, kStart));
    const auto end = timeOf(member(entry, kEnd));
    const PlistValue* upload = member(entry, kUploadRate);
    if (!dayMask || !start || !end || upload == nullptr || !upload->isNumber()) {
        problem = "its days, start, end or upload rate are missing or malformed";
        return std::nullopt;
    }
    period.days = *dayMask;
    period.startMinute = *start;
    period.endMinute = *end;
    period.uploadRate = upload->floatValue();
    const PlistValue* rate = member(entry, kDownloadRate);
    const PlistValue* pause = member(entry, kDownloadPause);
    if (rate != nullptr && pause != nullptr) {
        problem = "it has both a download rate and a download pause";
        return std::nullopt;
    }
    if (const PlistValue* download = rate != nullptr ? rate : pause) {
        if (!download->isNumber()) {
            problem = "its download value is not a number";
            return std::nullopt;
        }
        period.download = rate != nullptr ? Download::Rate : Download::Pause;
        period.downloadValue = download->floatValue();
    }
    if (!period.isValid()) {
        problem = "no day is ticked or a rate or pause is out of range";
        return std::nullopt;
    }
    return period;
}

std::string SchedulePeriod::timeText(int minuteOfDay) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", minuteOfDay / 60 % 100, minuteOfDay % 60);
    return text;
}

std::optional<int> SchedulePeriod::minuteOfText(const std::string& text) {
    const auto digit = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '9'; };
    if (text.size() != 5 || text[2] != ':' || !digit(0) || !digit(1) || !digit(3) || !digit(4)) {
        return std::nullopt;
    }
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || minutes > 59) {
        return std::nullopt;
    }
    return hours * 60 + minutes;
}

}  // namespace quellbox
