#include <gtest/gtest.h>

#include <chrono>

#include "settings/PreferenceKeys.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox {
namespace {

// The rest of the program relies on these shapes and ranges of the shipped defaults.
TEST(RegisteredDefaults, ShippedDefaultsMeetWhatTheProgramRelyOn) {
    const auto before = std::chrono::system_clock::now();
    const auto d = RegisteredDefaults::dictionary();
    const auto after = std::chrono::system_clock::now();

    const auto& names = d.at(keys::servicesNameArray).asArray();
    const auto& ports = d.at(keys::servicesPortArray).asArray();
    const auto& capped = d.at(keys::activatedULServices).asArray();
    EXPECT_EQ(names.size(), ports.size());
    EXPECT_EQ(names.size(), capped.size());

    const auto type = d.at(keys::connectionType).integerValue();
    EXPECT_GE(type, 0);
    EXPECT_LE(type, 7);
    const double minRate = d.at(keys::minDATARate).doubleValue();
    const double maxRate = d.at(keys::maxDATARate).doubleValue();
    const double rate = d.at(keys::DATARate).doubleValue();
    EXPECT_LT(minRate, maxRate);
    EXPECT_GE(rate, minRate);
    EXPECT_LE(rate, maxRate);
    EXPECT_LT(d.at(keys::minACKPause).doubleValue(), d.at(keys::maxACKPause).doubleValue());
    EXPECT_EQ(d.at(keys::downloadRateMode), PlistValue(false)) << "the pause mode is the default";
    EXPECT_GT(d.at(keys::downloadRate).doubleValue(), 0.0);
    const auto factor = d.at(keys::priorityFactor).integerValue();
    EXPECT_GE(factor, -15000);
    EXPECT_LE(factor, -1000);
    EXPECT_EQ(d.at(keys::maxQueueDelay), PlistValue(0)) << "the delay bound is off unless chosen";
    EXPECT_EQ(d.at(keys::logPath), PlistValue(""));
    EXPECT_EQ(d.at(keys::useServerLogFile).type(), PlistValue::Type::Boolean);
    EXPECT_EQ(d.at(keys::checkForUpdate).type(), PlistValue::Type::Boolean);
    EXPECT_EQ(d.at(keys::firstLaunch).type(), PlistValue::Type::Boolean);
    EXPECT_EQ(d.at(keys::cursorBegin), PlistValue(0));
    EXPECT_EQ(d.at(keys::logCursor), PlistValue(0));

    const auto begin = d.at(keys::beginDate).asDate();
    EXPECT_GE(begin, before);
    EXPECT_LE(begin, after);
}

}  // namespace
}  // namespace quellbox
