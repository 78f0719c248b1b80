#include <QTimer>
#include <algorithm>

#include "WindowFixture.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/UserInfo.h"
#include "ui/RateGraph.h"
#include "ui/SlidingDrawer.h"

namespace quellbox::testing {
namespace {

using State = SlidingDrawer::State;

class Drawer : public WindowFixture {
protected:
    void clickModeButton() { ui().priorityModeButton->click(); }

    void openDrawer() {
        clickModeButton();
        ASSERT_TRUE(processEventsUntil([this] { return priority().drawerState() == State::Open; }));
    }
    void closeDrawer() {
        clickModeButton();
        ASSERT_TRUE(
            processEventsUntil([this] { return priority().drawerState() == State::Closed; }));
    }

    // A named client in the active clients table, as the engine adds it.
    std::shared_ptr<UserInfo> addClient(const std::string& address, int priority,
                                        const std::string& login) {
        auto client = std::make_shared<UserInfo>("Carracho", priority, "name of " + login, login,
                                                 std::chrono::system_clock::now());
        ipmode().ipTable()->linkThisUserInfo(client, address);
        return client;
    }

    // Which of the less, more and set-default buttons are enabled, as "1" or "0" each.
    std::string enabledButtons() {
        std::string enabled;
        for (const QPushButton* button : {drawer().priorityLessButton, drawer().priorityMoreButton,
                                          drawer().setDefaultButton}) {
            enabled += button->isEnabled() ? '1' : '0';
        }
        return enabled;
    }
    QString cellText(int row, const char* identifier) {
        return testing::cellText(priority().tableModel(), row, identifier);
    }
};

TEST_F(Drawer, OpeningSwitchesPriorityModeOnABadLogPathIsToldAndTheTableAndGraphShowRates) {
    start();
    QMainWindow& window = interface().mainWindow();
    const int closedWidth = window.width();
    EXPECT_FALSE(ipmode().isActivated());
    EXPECT_EQ(priority().userInterfaceTimer(), nullptr);

    clickModeButton();
    EXPECT_TRUE(ipmode().isActivated());
    EXPECT_EQ(priority().drawerState(), State::Opening);
    // A click while the drawer slides changes nothing.
    clickModeButton();
    EXPECT_EQ(priority().drawerState(), State::Opening);
    EXPECT_TRUE(ipmode().isActivated());
    ASSERT_TRUE(processEventsUntil([this] { return priority().drawerState() == State::Open; }));
    EXPECT_TRUE(ui().priorityModeButton->isChecked());
    ASSERT_NE(priority().userInterfaceTimer(), nullptr);
    EXPECT_TRUE(priority().userInterfaceTimer()->isActive());
    EXPECT_TRUE(ui().priorityDrawer->isVisible());
    EXPECT_EQ(window.width(), closedWidth + ui().priorityDrawer->revealedWidth());
    EXPECT_TRUE(preferences().boolForKey(keys::firstLaunch)) << "a log path is set";

    clickModeButton();
    EXPECT_FALSE(ipmode().isActivated());
    EXPECT_EQ(priority().userInterfaceTimer(), nullptr);
    EXPECT_EQ(priority().drawerState(), State::Closing);
    ASSERT_TRUE(processEventsUntil([this] { return priority().drawerState() == State::Closed; }));
    EXPECT_FALSE(ui().priorityModeButton->isChecked());
    EXPECT_FALSE(ui().priorityDrawer->isVisible());
    EXPECT_EQ(window.width(), closedWidth);

    // An invalid log path alerts at every opening; without one a sheet asks, once.
    preferences().setObject(PlistValue((folder() / "gone" / "Downloads").string()), keys::logPath);
    openDrawer();
    ASSERT_EQ(presenter().alerts.size(), 1U);
    EXPECT_TRUE(presenter().sheets.empty()) << "a path is set";
    closeDrawer();
    openDrawer();
    EXPECT_EQ(presenter().alerts.size(), 2U);

    preferences().setObject(PlistValue(""), keys::logPath);
    closeDrawer();
    openDrawer();
    ASSERT_EQ(presenter().sheets.size(), 1U);
    EXPECT_FALSE(preferences().boolForKey(keys::firstLaunch));
    EXPECT_EQ(presenter().alerts.size(), 2U);
    closeDrawer();
    openDrawer();
    EXPECT_EQ(presenter().sheets.size(), 1U);

    // The table and the selected client's graph show the rates; the timer leaves an empty table
    // to the engine.
    const auto first = std::chrono::system_clock::now() - std::chrono::seconds(10);
    auto client = std::make_shared<UserInfo>("Carracho", 5, "name of erin", "erin", first);
    client->setLastInstantaneousRateDate(first);
    client->setLastPacketSize(102400);
    client->setLastPacketDate(first + std::chrono::seconds(10));
    ipmode().ipTable()->linkThisUserInfo(client, "192.0.2.50");
    addClient("192.0.2.51", 5, "idle");
    EXPECT_EQ(priority().tableModel().rowCount(), 0);  // not shown before a reload

    for (int tick = 0; tick < 3; ++tick) {
        priority().getUserRateValues();
    }
    ASSERT_EQ(priority().tableModel().rowCount(), 2);
    EXPECT_EQ(cellText(0, "login"), "erin");
    EXPECT_EQ(cellText(0, "screenName"), "name of erin");
    EXPECT_EQ(cellText(0, "usedService"), "Carracho");
    EXPECT_EQ(cellText(0, "instantRate"), "10.0");
    EXPECT_EQ(cellText(0, "avRate"), "10.0");
    RateGraph& graph = *drawer().rateGraph;
    EXPECT_TRUE(graph.shownSamples().empty());  // nothing selected
    // One sample per refresh, and perhaps one of the running timer.
    selectRow(*drawer().drawerTable, 0);
    const auto busy = graph.shownSamples();
    EXPECT_GE(busy.size(), 3U);
    EXPECT_TRUE(std::all_of(busy.begin(), busy.end(), [](float rate) { return rate == 10.0F; }));
    selectRow(*drawer().drawerTable, 1);
    const auto idle = graph.shownSamples();
    EXPECT_GE(idle.size(), 3U);
    EXPECT_TRUE(std::all_of(idle.begin(), idle.end(), [](float rate) { return rate == 0.0F; }));
    // The graph's samples leave the table's rate windows alone.
    EXPECT_EQ(client->instantaneousRateTotalPacketsSize(), 102400);

    // The clients leave: the timer does not reload the empty table...
    ipmode().ipTable()->removeThisIPString("192.0.2.50");
    ipmode().ipTable()->removeThisIPString("192.0.2.51");
    priority().getUserRateValues();
    EXPECT_EQ(priority().tableModel().rowCount(), 2);
    // ... the engine's refresh does, through the main window's controller.
    controller().refreshView();
    EXPECT_EQ(priority().tableModel().rowCount(), 0);
}

TEST_F(Drawer, PriorityButtonsStopAtZeroAndTenFollowTheSelectionAndSetTheLoginsDefault) {
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "high=3\nzed=4\n"));
    priorities().parseQbxPrioFile();
    start();
    openDrawer();
    auto low = addClient("192.0.2.10", 0, "low");
    auto high = addClient("192.0.2.11", 9, "high");
    priority().refreshView();
    ASSERT_EQ(priority().tableModel().rowCount(), 2);
    EXPECT_EQ(enabledButtons(), "000");
    selectRow(*drawer().drawerTable, 0);
    EXPECT_EQ(cellText(0, "ipAdress"), "192.0.2.10");
    EXPECT_EQ(enabledButtons(), "011");
    priority().priorityLess();  // at 0 it stays 0
    EXPECT_EQ(low->priority(), 0);
    drawer().priorityMoreButton->click();
    EXPECT_EQ(low->priority(), 1);
    EXPECT_EQ(cellText(0, "priority"), "1");
    EXPECT_EQ(enabledButtons(), "111");
    selectRow(*drawer().drawerTable, 1);
    drawer().priorityMoreButton->click();  // 9 becomes 10
    EXPECT_EQ(high->priority(), 10);
    EXPECT_EQ(cellText(1, "priority"), "10");
    EXPECT_EQ(enabledButtons(), "101");
    priority().priorityMore();  // at 10 it stays 10
    EXPECT_EQ(high->priority(), 10);
    drawer().priorityLessButton->click();
    drawer().priorityLessButton->click();
    EXPECT_EQ(high->priority(), 8);

    // Set Default replaces the login's line, or adds one.
    drawer().setDefaultButton->click();
    EXPECT_EQ(AtomicFile::read(prioritiesFile()), "zed=4\nhigh=8\n");
    EXPECT_EQ(priorities().defaultPriorityForLogin("high"), 8) << "the preferences window's too";
    selectRow(*drawer().drawerTable, 0);
    drawer().setDefaultButton->click();
    EXPECT_EQ(AtomicFile::read(prioritiesFile()), "zed=4\nhigh=8\nlow=1\n");
    EXPECT_EQ(prefs().loginTableModel().rowCount(), 3);

    drawer().drawerTable->clearSelection();
    processPendingEvents();
    EXPECT_EQ(enabledButtons(), "000");
    priority().priorityMore();  // no selection: nothing
    EXPECT_EQ(high->priority(), 8);
    EXPECT_EQ(low->priority(), 1);
}

}  // namespace
}  // namespace quellbox::testing
