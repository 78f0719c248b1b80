#include <QSettings>
#include <thread>

#include "WindowFixture.h"
#include "firewall/SimFirewallState.h"
#include "ui/TrayIcon.h"

namespace quellbox::testing {
namespace {

using MainWindow = WindowFixture;

TEST_F(MainWindow, StartUpCutsUnequalStoredListsAndCapsRowsWithoutAStoredFlag) {
    storeServices({"Hotline", "Carracho", "Web"}, {5500, 6700}, {false});
    start();

    ASSERT_EQ(controller().numberOfRowsInTableView(), 2);
    EXPECT_EQ(controller().tableModel().data(cell(1, "Service"), Qt::DisplayRole).toString(),
              "Carracho");
    EXPECT_EQ(controller().tableModel().data(cell(1, "Port"), Qt::DisplayRole).toInt(), 6700);
    // The first row's flag is stored false; the second has none and counts as capped.
    EXPECT_EQ(controller().tableModel().data(cell(0, "Ul"), Qt::CheckStateRole), Qt::Unchecked);
    EXPECT_EQ(controller().tableModel().data(cell(1, "Ul"), Qt::CheckStateRole), Qt::Checked);
    EXPECT_FALSE(engine().isCappedUL(5500));
    EXPECT_TRUE(engine().isCappedUL(6700));
    EXPECT_EQ(controller().uploadCappedServicesPort(), std::vector<int>{6700});
    EXPECT_EQ(storedNumbers(keys::activatedULServices),
              std::vector<long long>{0});  // padding not stored
    EXPECT_TRUE(ui().capULSwitch->isChecked());
    EXPECT_FALSE(ui().capDLSwitch->isChecked());
    EXPECT_FALSE(ui().sliderDL->isEnabled());
    EXPECT_FALSE(ui().DLRangePopUp->isEnabled());
    EXPECT_FALSE(ui().downloadRateTF->isEnabled());
    EXPECT_TRUE(interface().mainWindow().isVisible());
}

TEST_F(MainWindow, SavedCapsStopAtTheFirstRuleThatCannotBeMade) {
    storeServices({"a", "b", "c"}, {7001, 7002, 7003}, {true, true, true});
    engine();
    // The second service's first rule cannot be made.
    ASSERT_TRUE(SimFirewallState::update(folder() / "sim.state", [](SimFirewallState& state) {
        state.refusals.push_back({"add", 65532});
        return true;
    }));
    start();

    EXPECT_EQ(presenter().alerts.size(), 1U);
    EXPECT_EQ(quits, 0);
    // The flags stay stored, so the next start tries again.
    EXPECT_EQ(storedNumbers(keys::activatedULServices), (std::vector<long long>{1, 1, 1}));
}

TEST_F(MainWindow, DonationReminderAnswersAndHelpOpenTheirPagesAndTheHelpIsReadOnce) {
    const auto before = std::chrono::system_clock::now();
    preferences().setObject(PlistValue(before - std::chrono::hours(24 * 30)),
                            keys::lastDonatewareAdvertisementDate);
    start();
    ASSERT_EQ(presenter().sheets.size(), 1U);
    EXPECT_GE(preferences().objectForKey(keys::lastDonatewareAdvertisementDate)->asDate(), before);
    EXPECT_TRUE(controller().smthingHasChanged());
    presenter().answerLastSheet(Presenter::kDefaultButton);
    controller().donatewareAlertSheetDidEnd(Presenter::kOtherButton);
    SystemLogCapture log;
    controller().donatewareAlertSheetDidEnd(Presenter::kAlternateButton);
    EXPECT_EQ(log.count("User don't care about quellbox donation"), 1);

    // Help is read once and shown each time; the FAQ and home page open in the browser.
    controller().openHelp();
    EXPECT_TRUE(interface().helpWindow().isVisible());
    EXPECT_TRUE(interface().help().helpTextView->toPlainText().contains("Priority Mode"));
    interface().help().helpTextView->setPlainText("read before");
    interface().helpWindow().hide();
    controller().openHelp();
    EXPECT_TRUE(interface().helpWindow().isVisible());
    EXPECT_EQ(interface().help().helpTextView->toPlainText(), "read before");
    controller().openFAQ();
    controller().openHomePage();
    EXPECT_EQ(presenter().urls,
              (std::vector<std::string>{MyController::kDonationPage, MyController::kDonationMail,
                                        std::string(MyController::kMakerServer) + "/FAQ.html",
                                        MyController::kMakerServer}));
}

TEST_F(MainWindow, QuitWithoutChangesWindsDownAtOnceAndRemovesEveryRule) {
    storeServices({"a", "b"}, {7001, 7002}, {true, true});
    // The donation reminder waits thirty days: it neither shows nor stores a date.
    preferences().setObject(
        PlistValue(std::chrono::system_clock::now() - std::chrono::hours(24 * 29)),
        keys::lastDonatewareAdvertisementDate);
    start();
    ASSERT_EQ(firewallRules(), 4U);

    controller().terminate();
    EXPECT_EQ(quits, 1) << "no question without changes";
    EXPECT_EQ(windDownPauses,
              (std::vector<std::chrono::milliseconds>(2, std::chrono::milliseconds(500))));
    EXPECT_EQ(firewallRules(), 0U);
    QSettings frames(QString::fromStdString((folder() / "windows.ini").string()),
                     QSettings::IniFormat);
    EXPECT_FALSE(frames.value(MyController::kFrameName).toByteArray().isEmpty());
}

TEST_F(MainWindow, QuitWithChangesAsksAndCancelKeepsEverything) {
    storeServices({"a"}, {7001}, {true});
    start();
    choose(ui().ULRangePopUp, 5);
    ASSERT_TRUE(controller().smthingHasChanged());

    // Closing the window is the quit command.
    EXPECT_FALSE(interface().mainWindow().close());
    ASSERT_EQ(presenter().sheets.size(), 1U);
    controller().terminate();  // a second request while asking is ignored
    EXPECT_EQ(presenter().sheets.size(), 1U);

    presenter().answerLastSheet(Presenter::kAlternateButton);
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(engine().isCappedUL(7001));

    // Don't Save: the wind-down and the quit, and nothing written.
    controller().terminate();
    ASSERT_EQ(presenter().sheets.size(), 2U);
    presenter().answerLastSheet(Presenter::kOtherButton);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(windDownPauses.size(), 2U);
    EXPECT_FALSE(engine().isCappedUL(7001));
    EXPECT_FALSE(std::filesystem::exists(folder() / "Quellbox.plist"));
}

// A settings file that cannot be written (a folder stands in its place, which no rename can
// replace, not even root's) keeps the program running with its changes until a save works.
TEST_F(MainWindow, SaveParametersWritesTheSettingsOrAlertsAndKeepsRunning) {
    start();
    preferences().setFloat(33.0F, keys::DATARate);
    const auto settingsFile = folder() / "Quellbox.plist";
    ASSERT_TRUE(std::filesystem::create_directory(settingsFile));
    controller().terminate();
    presenter().answerLastSheet(Presenter::kDefaultButton);
    EXPECT_EQ(presenter().alerts.size(), 1U);
    EXPECT_EQ(quits, 0);

    std::filesystem::remove(settingsFile);
    controller().terminate();
    presenter().answerLastSheet(Presenter::kDefaultButton);
    EXPECT_EQ(quits, 1);
    UserDefaults reread(settingsFile);
    EXPECT_FLOAT_EQ(reread.objectForKey(keys::DATARate).value_or(PlistValue(0)).floatValue(),
                    33.0F);
}

TEST_F(MainWindow, GaugesAndProblemAlertsFromAnyThreadReachTheWindowAndQuitWhenAsked) {
    start();
    std::thread([this] {
        engine().fireDataEventToListeners(700.0);
        engine().fireAckEventToListeners(52.0);
        engine().fireQueueSizeEventToListeners(17.0);
    }).join();
    ASSERT_TRUE(processEventsUntil([this] { return ui().queueSizeGauge->value() == 17; }));
    EXPECT_EQ(ui().dataPacketGauge->value(), 700);
    EXPECT_EQ(ui().ackPacketGauge->value(), 52);
    // A reading beyond the gauge's scale fills it (a bar ignores a value out of its range).
    engine().fireDataEventToListeners(1e12);
    NoWaveProgressIndicator& data = *ui().dataPacketGauge;
    ASSERT_TRUE(processEventsUntil([&] { return data.value() == data.maximum(); }));

    const auto problem = [this](const char* title, bool quit) {
        notifications().postNotification("genericIpfwProblemNotification", nullptr,
                                         {{"title", PlistValue(title)},
                                          {"msg", PlistValue("There is a problem with ipfw.")},
                                          {"needToQuitAfterAlert", PlistValue(quit)}});
    };
    std::thread(problem, "Error : Can't remove rule for this Service", false).join();
    ASSERT_TRUE(processEventsUntil([this] { return !presenter().alerts.empty(); }));
    EXPECT_EQ(presenter().alerts[0].title, "Error : Can't remove rule for this Service");
    EXPECT_EQ(quits, 0);
    notifications().postNotification("noNetworkNotification", nullptr);
    ASSERT_EQ(presenter().alerts.size(), 2U);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(windDownPauses.size(), 2U) << "the quit sequence ran, after the alert";
    problem("Error : Quellbox can't bind the divert socket for ipfw", true);
    ASSERT_EQ(presenter().alerts.size(), 3U);
    EXPECT_EQ(presenter().alerts[2].button, "Quit");
}

// The tray over the fixture's window; the desktop is said to have a tray unless told not.
class Tray : public WindowFixture {
protected:
    void startWithTray(bool trayAvailable = true) {
        start();
        tray_ = std::make_unique<TrayIcon>(TrayIcon::Collaborators{
            interface().mainWindow(), ui(), *prefWindow().keepRunningInTrayButton, preferences(),
            trayAvailable});
        tray_->awakeFromNib();
    }
    TrayIcon& tray() { return *tray_; }

private:
    std::unique_ptr<TrayIcon> tray_;
};

TEST_F(Tray, MenuActsThroughTheWindowClosingHidesUnlessUntickedAndQuitAsksInTheWindow) {
    startWithTray();
    const QList<QAction*> items = tray().menu().actions();
    ASSERT_TRUE(items.contains(ui().actionCapUpload));
    ASSERT_TRUE(items.contains(ui().actionPriorityMode));
    ui().actionCapUpload->trigger();  // as the tray menu's item does
    EXPECT_FALSE(ui().capULSwitch->isChecked());
    EXPECT_LT(engine().getDATARate(), 0.0F);
    ui().actionPriorityMode->trigger();
    EXPECT_TRUE(ipmode().isActivated());
    tray().showRates({"Upload 41.9 KiB/s paced", "ACKs 1.2 KiB/s"});
    EXPECT_EQ(tray().toolTip(), "Quellbox\nUpload 41.9 KiB/s paced\nACKs 1.2 KiB/s");

    // With changes to save, so that a quit would ask.
    preferences().setFloat(33.0F, keys::DATARate);
    prefWindow().keepRunningInTrayButton->click();
    EXPECT_TRUE(preferences().boolForKey(keys::keepRunningInTray));
    EXPECT_FALSE(interface().mainWindow().close());
    EXPECT_FALSE(interface().mainWindow().isVisible());
    EXPECT_TRUE(presenter().sheets.empty()) << "no quit question";
    tray().showHideAction().trigger();
    EXPECT_TRUE(interface().mainWindow().isVisible());
    prefWindow().keepRunningInTrayButton->click();
    interface().mainWindow().close();
    ASSERT_EQ(presenter().sheets.size(), 1U) << "unticked, closing is the quit command";
    presenter().answerLastSheet(Presenter::kAlternateButton);

    // The tray's quit shows the hidden window and asks the save question there.
    interface().mainWindow().hide();
    tray().quitAction().trigger();
    EXPECT_TRUE(interface().mainWindow().isVisible());
    EXPECT_EQ(presenter().sheets.size(), 2U);
}

TEST_F(Tray, WithoutATrayClosingStillQuits) {
    preferences().setBool(true, keys::keepRunningInTray);
    startWithTray(false);
    EXPECT_FALSE(prefWindow().keepRunningInTrayButton->isEnabled());
    interface().mainWindow().close();
    EXPECT_EQ(quits, 1);
}

}  // namespace
}  // namespace quellbox::testing
