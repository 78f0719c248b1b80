#include <gtest/gtest.h>

#include <fstream>

#include "TestSettings.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/LogParser.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"

namespace quellbox {
namespace {

using testing::secondsAgo;

class IPModeTest : public ::testing::Test {
protected:
    IPModeTest() {
        std::ofstream(settings_.logPath(), std::ios::binary) << "d\t10.0.0.1\talice\tAlice\tfile\r"
                                                             << "d\t10.0.0.2\tbob\tBob\tfile\r";
        std::ofstream(settings_.priorityFile()) << "alice=9\n";
        settings_.prefs.setObject(PlistValue(settings_.logPath().string()), keys::logPath);
        settings_.prefs.setBool(true, keys::useServerLogFile);
    }

    testing::TestSettings settings_;
};

TEST_F(IPModeTest, OffClearsTablesAndRewindsTheLogThenOnStartsEmpty) {
    IPMode mode(settings_.prefs);
    mode.activate(true);
    EXPECT_TRUE(mode.isActivated());
    LogParser* parser = mode.logParser();
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(parser->recordCount(), 2U);
    EXPECT_EQ(mode.defaultPriorityParser()->defaultPriorityForLogin("alice"), 9);
    IPTable* active = mode.ipTable();
    mode.ipTable()->linkThisUserInfo(std::make_shared<UserInfo>("S", 9, "n", "l", secondsAgo(0)),
                                     1U);
    mode.ipTableForTheInactive()->linkThisUserInfo(std::make_shared<UserInfo>(), 2U);
    mode.waitingForInfoTable()->linkThisUserInfo(std::make_shared<UserInfo>(), 3U);
    EXPECT_GT(settings_.prefs.integerForKey(keys::logCursor), 0);

    ASSERT_EQ(mode.ipTable()->runningMaxPriority(), 9);
    mode.activate(false);
    EXPECT_EQ(mode.ipTable()->size(), 0);
    EXPECT_EQ(mode.ipTableForTheInactive()->size(), 0);
    EXPECT_EQ(mode.waitingForInfoTable()->size(), 0);
    EXPECT_EQ(mode.ipTable()->runningMaxPriority(), 0);
    // "cursorBegin" is 0: the next lookup reads the whole log again.
    EXPECT_EQ(settings_.prefs.integerForKey(keys::logCursor), 0);

    mode.activate(true);
    EXPECT_EQ(mode.logParser(), parser);  // nothing new is made
    EXPECT_EQ(mode.ipTable(), active);
    EXPECT_TRUE(mode.logParser()->ipIsInLogParserStructure("10.0.0.2"));
    EXPECT_EQ(mode.logParser()->findLoginFromIPString("10.0.0.1"), "alice");
}

TEST_F(IPModeTest, DefaultPrioritiesComeFromTheGivenSource) {
    auto shared = std::make_shared<defaultPriorityParser>(settings_.prefs);
    int asked = 0;
    IPMode mode(settings_.prefs, [&] {
        ++asked;
        return shared;
    });
    mode.activate(true);
    mode.activate(false);
    mode.activate(true);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(mode.defaultPriorityParser(), shared.get());
}

}  // namespace
}  // namespace quellbox
