#include <gtest/gtest.h>

#include "SimEngineFixture.h"
#include "engine/SavedServices.h"
#include "firewall/SimFirewallState.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Service.h"

namespace quellbox {
namespace {

using testing::SimEngineFixture;

PlistValue::Array texts(std::initializer_list<const char*> items) {
    PlistValue::Array array;
    for (const char* item : items) {
        array.emplace_back(item);
    }
    return array;
}

TEST(SavedServices, StoredListsOfUnequalLengthAreCutToTheShorterAndStored) {
    SimEngineFixture sim;
    Preferences& prefs = sim.preferences();
    prefs.setObject(PlistValue(texts({"Hotline", "Carracho", "Web"})), keys::servicesNameArray);
    prefs.setObject(PlistValue(PlistValue::Array{5500, 6700}), keys::servicesPortArray);
    const auto services = SavedServices::load(prefs);
    ASSERT_EQ(services.size(), 2U);
    EXPECT_EQ(services[0]->name(), "Hotline");
    EXPECT_EQ(services[1]->servicePort(), 6700);
    EXPECT_FALSE(services[1]->uploadIsCapped());
    EXPECT_EQ(prefs.objectForKey(keys::servicesNameArray),
              PlistValue(texts({"Hotline", "Carracho"})));

    prefs.setObject(PlistValue(texts({"Solo"})), keys::servicesNameArray);
    prefs.setObject(PlistValue(PlistValue::Array{1, 2, 3}), keys::servicesPortArray);
    EXPECT_EQ(SavedServices::load(prefs).size(), 1U);
    EXPECT_EQ(prefs.objectForKey(keys::servicesPortArray), PlistValue(PlistValue::Array{1}));

    prefs.removeObjectForKey(keys::servicesNameArray);
    EXPECT_TRUE(SavedServices::load(prefs).empty());
    // A service without a stored flag (added by an older version, say) counts as capped.
    prefs.setObject(PlistValue(PlistValue::Array{false}), keys::activatedULServices);
    EXPECT_EQ(SavedServices::activatedFlags(prefs, 3), (std::vector<bool>{false, true, true}));
}

TEST(SavedServices, ReapplyingStopsAtTheFirstRuleThatFails) {
    SimEngineFixture sim;
    ASSERT_TRUE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
    // The second service's server rule (65532) is refused by the firewall.
    ASSERT_TRUE(SimFirewallState::update(sim.kernel().statePath(), [](SimFirewallState& state) {
        state.refusals.push_back({"add", 65532});
        return true;
    }));
    std::vector<std::shared_ptr<Service>> services{std::make_shared<Service>("a", 7001),
                                                   std::make_shared<Service>("b", 7002),
                                                   std::make_shared<Service>("c", 7003)};
    SystemLogCapture log;
    const auto capped = SavedServices::reapplySavedCaps(sim.engine(), services, {true, true, true});
    EXPECT_EQ(capped, std::vector<int>{7001});
    EXPECT_EQ(log.count("can't create rule !"), 1);
    EXPECT_TRUE(services[0]->uploadIsCapped());
    EXPECT_FALSE(services[1]->uploadIsCapped());
    EXPECT_FALSE(services[2]->uploadIsCapped());
    EXPECT_TRUE(sim.engine().isCappedUL(7001));
    EXPECT_FALSE(sim.engine().isCappedUL(7003));
}

TEST(SavedServices, WindDownLowersTheStoredRateInTwoStepsThenRemovesEveryRule) {
    SimEngineFixture sim;
    ASSERT_TRUE(sim.engine().waitUntilStarted(std::chrono::seconds(10)));
    std::vector<std::shared_ptr<Service>> services{std::make_shared<Service>("a", 7001),
                                                   std::make_shared<Service>("b", 7002)};
    SavedServices::reapplySavedCaps(sim.engine(), services, {true, true});
    ASSERT_EQ(sim.firewallRules(), 4U);
    sim.preferences().setFloat(90.0F, keys::DATARate);
    sim.engine().setDATARate(12.0F);  // whatever the engine runs at, the stored rate rules

    std::vector<float> ratesWhileSleeping;
    std::vector<std::chrono::milliseconds> pauses;
    SavedServices::windDown(sim.engine(), sim.preferences(), services,
                            [&](std::chrono::milliseconds pause) {
                                pauses.push_back(pause);
                                ratesWhileSleeping.push_back(sim.engine().getDATARate());
                                EXPECT_TRUE(sim.engine().isCappedUL(7001)) << "rules go last";
                            });
    ASSERT_EQ(ratesWhileSleeping.size(), 2U);
    EXPECT_FLOAT_EQ(ratesWhileSleeping[0], static_cast<float>(90.0 * 0.66666));
    EXPECT_FLOAT_EQ(ratesWhileSleeping[1], static_cast<float>(90.0 * 0.33333));
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>(2, std::chrono::milliseconds(500))));
    EXPECT_FALSE(sim.engine().isCappedUL(7001));
    EXPECT_FALSE(sim.engine().isCappedUL(7002));
    EXPECT_EQ(sim.firewallRules(), 0U);
}

}  // namespace
}  // namespace quellbox
