#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LocalHttpServer.h"
#include "WindowFixture.h"
#include "engine/ScheduledRates.h"
#include "firewall/IPLayer.h"
#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "ui/PlistTableModel.h"
#include "ui/ScheduleController.h"
#include "ui/ScheduleIndicator.h"

namespace quellbox::testing {
namespace {

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PreferencesWindow : public WindowFixture {
protected:
    std::filesystem::path prioritiesFile() { return folder() / "Quellbox Default Priorities.txt"; }

    std::vector<QWidget*> logFileControls() {
        return {prefWindow().pathTextField,          prefWindow().selectPathButton,
                prefWindow().refreshDefaultPrioList, prefWindow().addDefaultPrioButton,
                prefWindow().removeDefaultPrio,      prefWindow().loginIPTable};
    }

    PlistTableModel& logins() { return prefs().loginTableModel(); }
    QString loginCell(int row, const char* identifier) {
        return logins()
            .data(logins().index(row, logins().columnWithIdentifier(identifier)), Qt::DisplayRole)
            .toString();
    }
    int selectedLoginRow() {
        const auto rows = prefWindow().loginIPTable->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }
    void selectLoginRow(int row) {
        prefWindow().loginIPTable->selectRow(row);
        processPendingEvents();
    }
};

TEST_F(PreferencesWindow, PreferencesMenuItemShowsTheWindow) {
    start();
    EXPECT_TRUE(ui().actionPreferences->isEnabled());
    EXPECT_FALSE(interface().prefWindow().isVisible());
    ui().actionPreferences->trigger();
    EXPECT_TRUE(interface().prefWindow().isVisible());
}

TEST_F(PreferencesWindow, StartUpShowsTheStoredValues) {
    preferences().setInteger(5000, keys::priorityFactor);
    preferences().setBool(true, keys::useServerLogFile);
    start();
    EXPECT_EQ(prefWindow().priorityStepSlider->minimum(), -15000);
    EXPECT_EQ(prefWindow().priorityStepSlider->maximum(), -1000);
    EXPECT_EQ(prefWindow().priorityStepSlider->value(), -5000);
    EXPECT_EQ(preferences().integerForKey(keys::priorityFactor),
              5000);  // showing it stores nothing
    EXPECT_EQ(prefs().pathTextField().toStdString(), (folder() / "Downloads").string());
    EXPECT_TRUE(prefWindow().useLogFileSwitchButton->isChecked());
    for (QWidget* control : logFileControls()) {
        EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
    }
    // The sample file of the fixture's log folder.
    ASSERT_EQ(logins().rowCount(), 3);
    EXPECT_EQ(loginCell(0, "login"), "qim");
    EXPECT_EQ(loginCell(0, "priority"), "10");
}

TEST_F(PreferencesWindow, NegativeStoredStepAndEmptyPathShowTheirOwnWay) {
    preferences().setInteger(-5000, keys::priorityFactor);
    preferences().setObject(PlistValue(""), keys::logPath);
    start();
    EXPECT_EQ(prefWindow().priorityStepSlider->value(), -5000);
    EXPECT_EQ(prefs().pathTextField(), "The path to your Carracho Server 'Downloads' file...");
}

TEST_F(PreferencesWindow, LogFileSwitchEnablesTheControlsAndStoresTheChoice) {
    ASSERT_FALSE(preferences().boolForKey(keys::useServerLogFile));
    start();
    for (QWidget* control : logFileControls()) {
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    }
    EXPECT_EQ(selectedLoginRow(), -1);
    EXPECT_FALSE(prefWindow().useLogFileSwitchButton->isChecked());

    prefWindow().useLogFileSwitchButton->click();
    EXPECT_TRUE(preferences().boolForKey(keys::useServerLogFile));
    EXPECT_TRUE(prefWindow().useLogFileSwitchButton->isChecked());
    for (QWidget* control : logFileControls()) {
        EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
    }
    selectLoginRow(1);
    EXPECT_TRUE(logins().flags(logins().index(1, 1)) & Qt::ItemIsEditable);

    prefWindow().useLogFileSwitchButton->click();
    EXPECT_FALSE(preferences().boolForKey(keys::useServerLogFile));
    EXPECT_FALSE(prefWindow().loginIPTable->isEnabled());
    EXPECT_EQ(selectedLoginRow(), -1);
    // A disabled table's cells are greyed and take no input.
    EXPECT_FALSE(logins().flags(logins().index(1, 1)) & Qt::ItemIsEditable);
    EXPECT_TRUE(logins().data(logins().index(1, 1), Qt::ForegroundRole).isValid());
}

TEST_F(PreferencesWindow, PriorityStepSliderStoresItsValueAndPassesTheStepToTheEngine) {
    start();
    SystemLogCapture log;
    prefWindow().priorityStepSlider->setValue(-3000);
    EXPECT_EQ(preferences().integerForKey(keys::priorityFactor), -3000);
    EXPECT_EQ(engine().priorityFactor(), 3000);
    EXPECT_EQ(log.count("PriorityStep is now = 3000"), 1);
}

TEST_F(PreferencesWindow, QueueDelayBoxShowsTheStoredBoundAndPassesChangesToTheEngine) {
    preferences().setInteger(250, keys::maxQueueDelay);
    start();
    QSpinBox& box = *prefWindow().maxQueueDelaySpinBox;
    EXPECT_EQ(box.value(), 250);
    EXPECT_EQ(box.maximum(), 10000);
    ASSERT_EQ(engine().maxQueueDelay(), std::chrono::milliseconds(250));
    box.setValue(box.minimum());
    EXPECT_EQ(box.text(), "Off");
    EXPECT_EQ(preferences().integerForKey(keys::maxQueueDelay), 0);
    EXPECT_EQ(engine().maxQueueDelay(), std::chrono::milliseconds(0));
    box.stepBy(3);
    EXPECT_EQ(preferences().integerForKey(keys::maxQueueDelay), 30);
    EXPECT_EQ(engine().maxQueueDelay(), std::chrono::milliseconds(30));
}

TEST_F(PreferencesWindow, ChoosingTheSameLogFileChangesNothingAndAnotherOneRestartsTheLog) {
    const auto oldDate = std::chrono::system_clock::now() - std::chrono::hours(48);
    preferences().setObject(PlistValue(oldDate), keys::beginDate);
    preferences().setInteger(42, keys::cursorBegin);
    preferences().setInteger(42, keys::logCursor);
    start();

    fileChoice = (folder() / "Downloads").string();
    prefWindow().selectPathButton->setEnabled(true);
    prefWindow().selectPathButton->click();
    EXPECT_EQ(fileChoices, 1);
    EXPECT_EQ(preferences().objectForKey(keys::beginDate)->asDate(), oldDate);
    EXPECT_EQ(preferences().integerForKey(keys::cursorBegin), 42);
    EXPECT_EQ(preferences().integerForKey(keys::logCursor), 42);

    const auto other = folder() / "server2" / "Downloads";
    std::filesystem::create_directories(other.parent_path());
    ASSERT_TRUE(AtomicFile::write(other, ""));
    ASSERT_TRUE(
        AtomicFile::write(other.parent_path() / "Quellbox Default Priorities.txt", "zoe=2\n"));
    const auto before = std::chrono::system_clock::now();
    fileChoice = other.string();
    prefs().setPathString();
    EXPECT_EQ(preferences().stringForKey(keys::logPath)->stringValue(), other.string());
    EXPECT_GE(preferences().objectForKey(keys::beginDate)->asDate(), before);
    EXPECT_EQ(preferences().integerForKey(keys::cursorBegin), 0);
    EXPECT_EQ(preferences().integerForKey(keys::logCursor), 0);
    EXPECT_EQ(prefs().pathTextField().toStdString(), other.string());
    // The default priorities of the new folder show at once.
    ASSERT_EQ(logins().rowCount(), 1);
    EXPECT_EQ(loginCell(0, "login"), "zoe");
}

TEST_F(PreferencesWindow, CancellingTheFileChooserStillReadsTheDefaultPrioritiesAgain) {
    start();
    ASSERT_EQ(logins().rowCount(), 3);
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "amy=1\nben=2\nkai=3\nlou=4\n"));
    fileChoice.reset();
    prefs().setPathString();
    EXPECT_EQ(fileChoices, 1);
    EXPECT_EQ(preferences().stringForKey(keys::logPath)->stringValue(),
              (folder() / "Downloads").string());
    ASSERT_EQ(logins().rowCount(), 4);
    EXPECT_EQ(loginCell(3, "login"), "lou");
}

TEST_F(PreferencesWindow, AddRemoveAndEditDefaultPriorities) {
    preferences().setBool(true, keys::useServerLogFile);
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "qim=10\nzed=4\n"));
    priorities().parseQbxPrioFile();
    ipmode().activate(false);  // Priority Mode reads the file too
    const defaultPriorityParser& modeDefaults = *ipmode().defaultPriorityParser();
    start();

    prefWindow().addDefaultPrioButton->click();
    ASSERT_EQ(logins().rowCount(), 3);
    EXPECT_EQ(loginCell(0, "login"), "newLogin");  // sorted ignoring case: newLogin, qim, zed
    EXPECT_EQ(selectedLoginRow(), 0);
    EXPECT_EQ(fileText(prioritiesFile()), "qim=10\nzed=4\nnewLogin=5\n");
    // Each edit reaches Priority Mode.
    EXPECT_TRUE(modeDefaults.containsEntryWithLogin("newLogin"));
    // A second "newLogin" is refused: table and selection stay.
    selectLoginRow(2);
    prefWindow().addDefaultPrioButton->click();
    EXPECT_EQ(logins().rowCount(), 3);
    EXPECT_EQ(selectedLoginRow(), 2);

    // Editing in place: a new priority, then a new login.
    ASSERT_TRUE(logins().setData(logins().index(2, 1), 7, Qt::EditRole));
    EXPECT_EQ(loginCell(2, "priority"), "7");
    EXPECT_EQ(priorities().defaultPriorityForLogin("zed"), 7);
    EXPECT_EQ(modeDefaults.defaultPriorityForLogin("zed"), 7);
    ASSERT_TRUE(logins().setData(logins().index(0, 0), QString("ann"), Qt::EditRole));
    EXPECT_EQ(loginCell(0, "login"), "ann");
    EXPECT_EQ(fileText(prioritiesFile()), "qim=10\nzed=7\nann=5\n");
    EXPECT_TRUE(modeDefaults.containsEntryWithLogin("ann"));

    selectLoginRow(1);  // qim
    prefWindow().removeDefaultPrio->click();
    EXPECT_EQ(logins().rowCount(), 2);
    EXPECT_EQ(fileText(prioritiesFile()), "zed=7\nann=5\n");
    EXPECT_FALSE(modeDefaults.containsEntryWithLogin("qim"));
    prefWindow().loginIPTable->clearSelection();
    prefWindow().removeDefaultPrio->click();  // nothing selected: nothing removed
    EXPECT_EQ(logins().rowCount(), 2);

    // A line changed by hand shows after a refresh.
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "zed=1\n"));
    prefWindow().refreshDefaultPrioList->click();
    ASSERT_EQ(logins().rowCount(), 1);
    EXPECT_EQ(loginCell(0, "priority"), "1");
    EXPECT_EQ(modeDefaults.defaultPriorityForLogin("zed"), 1);
}

TEST_F(PreferencesWindow, RemovingALineThatIsNotInTheFileLogsTheRow) {
    preferences().setBool(true, keys::useServerLogFile);
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "carol=15\n"));
    priorities().parseQbxPrioFile();
    start();
    selectLoginRow(0);
    SystemLogCapture log;
    prefWindow().removeDefaultPrio->click();  // shown as 5, written as 15
    EXPECT_EQ(log.count("error when trying to remove line 0"), 1);
    EXPECT_EQ(logins().rowCount(), 1);
}

TEST_F(PreferencesWindow, InterfaceMenuListsTheSystemsInterfacesAndStoresTheChoice) {
    const auto names = IPLayer::getInterfacesList();
    ASSERT_FALSE(names.empty());
    preferences().setObject(PlistValue(names.back()), keys::NetworkIf);
    start();
    QComboBox& menu = *prefWindow().networkInterfacePopup;
    ASSERT_EQ(menu.count(), static_cast<int>(names.size()));
    for (int i = 0; i < menu.count(); ++i) {
        EXPECT_EQ(menu.itemText(i).toStdString(), names[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(menu.currentText().toStdString(), names.back());
    menu.setCurrentIndex(0);
    emit menu.activated(0);
    EXPECT_EQ(preferences().stringForKey(keys::NetworkIf)->stringValue(), names.front());
}

// ---- the version check ------------------------------------------------------------------------

QByteArray versionFile(const std::string& version) {
    return QByteArray::fromStdString(
        PlistValue(PlistValue::Dictionary{{"version", PlistValue(version)}}).toXml());
}

class VersionCheckWindow : public PreferencesWindow {
protected:
    // Switches the check on with its check box and waits for its log line.
    void checkWith(const QString& server) {
        preferences().setObject(PlistValue(server.toStdString()), keys::versionCheckURL);
        start();
        prefWindow().checkUpdatesButton->click();
        ASSERT_TRUE(preferences().boolForKey(keys::checkForUpdate));
        ASSERT_TRUE(processEventsUntil([this] { return finished(); }));
        processPendingEvents();  // the alert is posted, not shown from the transfer
    }
    bool finished() {
        for (const auto& line : log.lines()) {
            if (line.rfind("lastest version : ", 0) == 0 ||
                line.find("the version check is skipped") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    int skipped() {
        int count = 0;
        for (const auto& line : log.lines()) {
            count += line.find("the version check is skipped") != std::string::npos ? 1 : 0;
        }
        return count;
    }
    SystemLogCapture log;
};

TEST_F(VersionCheckWindow, SameVersionShowsNothing) {
    LocalHttpServer server(versionFile(QUELLBOX_VERSION));
    checkWith(server.address());
    EXPECT_EQ(server.requests(), 1);
    EXPECT_EQ(log.count(std::string("current version : ") + QUELLBOX_VERSION), 1);
    EXPECT_EQ(log.count(std::string("lastest version : ") + QUELLBOX_VERSION), 1);
    EXPECT_TRUE(presenter().panels.empty());
}

TEST_F(VersionCheckWindow, OtherVersionShowsTheAlertAndUpgradeOpensTheDownloadPage) {
    LocalHttpServer server(versionFile("0.0.9"));  // older counts as new too
    presenter().panelAnswer = Presenter::kDefaultButton;
    checkWith(server.address());
    ASSERT_EQ(presenter().panels.size(), 1U);
    const Presenter::Sheet& panel = presenter().panels[0];
    EXPECT_EQ(panel.title, "A New Quellbox Version is Available");
    EXPECT_EQ(panel.message,
              "Would you like to visit the site and download the new 0.0.9 version now?");
    EXPECT_EQ(panel.defaultButton, "Upgrade Now");
    EXPECT_EQ(panel.alternateButton, "Keep Current Version");
    EXPECT_EQ(presenter().urls,
              std::vector<std::string>{server.address().toStdString() + "/#download"});
}

TEST_F(VersionCheckWindow, KeepingTheCurrentVersionOpensNothing) {
    LocalHttpServer server(versionFile("9.9"));
    checkWith(server.address());
    EXPECT_EQ(presenter().panels.size(), 1U);
    EXPECT_TRUE(presenter().urls.empty());
}

TEST_F(VersionCheckWindow, FileWithoutVersionCountsAsNew) {
    LocalHttpServer server(QByteArray::fromStdString(
        PlistValue(PlistValue::Dictionary{{"other", PlistValue(1)}}).toXml()));
    checkWith(server.address());
    ASSERT_EQ(presenter().panels.size(), 1U);
    EXPECT_EQ(presenter().panels[0].message,
              "Would you like to visit the site and download the new  version now?");
}

TEST_F(VersionCheckWindow, NoServerGivesOneLogLineAndNoAlert) {
    checkWith(LocalHttpServer::closedAddress());
    EXPECT_EQ(skipped(), 1);
    EXPECT_TRUE(presenter().panels.empty());
    EXPECT_TRUE(presenter().alerts.empty());
}

TEST_F(VersionCheckWindow, GarbageIsSkipped) {
    LocalHttpServer server("<html>\0\xff not a property list <plist><dict><key>version", false);
    checkWith(server.address());
    EXPECT_EQ(server.requests(), 1);
    EXPECT_EQ(skipped(), 1);
    EXPECT_TRUE(presenter().panels.empty());
}

TEST_F(VersionCheckWindow, HugeBodyIsRefused) {
    // A valid version file of another version, padded far beyond the size limit.
    QByteArray body = versionFile("9.9");
    body.insert(body.indexOf("<dict>"), QByteArray(4 * 1024 * 1024, ' '));
    LocalHttpServer server(body);
    checkWith(server.address());
    EXPECT_EQ(skipped(), 1);
    EXPECT_TRUE(presenter().panels.empty());
}

TEST_F(VersionCheckWindow, SwitchingTheCheckOffRunsNothing) {
    LocalHttpServer server(versionFile("9.9"));
    preferences().setBool(true, keys::checkForUpdate);
    preferences().setObject(PlistValue(server.address().toStdString()), keys::versionCheckURL);
    start();  // the check at start
    ASSERT_TRUE(processEventsUntil([this] { return finished(); }));
    processPendingEvents();
    EXPECT_EQ(presenter().panels.size(), 1U);
    EXPECT_TRUE(prefWindow().checkUpdatesButton->isChecked());
    prefWindow().checkUpdatesButton->click();
    EXPECT_FALSE(preferences().boolForKey(keys::checkForUpdate));
    EXPECT_FALSE(prefWindow().checkUpdatesButton->isChecked());
    processPendingEvents();
    EXPECT_EQ(server.requests(), 1);
}

TEST_F(PreferencesWindow, AScheduledPeriodIsStoredAndTakesOverTheRatesWhileItIsOn) {
    start();
    LocalWeekTime now{0, 23 * 3600};  // Monday 23:00: inside a new row's weeknights
    ScheduledRates rates(engine(), RateSchedule{});
    ScheduleIndicator indicator(*ui().mainLayout, 1, rates, [&now] { return now; });
    ScheduleController schedule(
        prefWindow(), preferences(),
        [&indicator](const RateSchedule& edited) { indicator.setSchedule(edited); });
    schedule.awakeFromNib();
    indicator.refresh();
    EXPECT_TRUE(indicator.label().isHidden());

    prefWindow().addPeriodButton->click();
    QTableWidget& table = schedule.table();
    static_cast<QDoubleSpinBox*>(table.cellWidget(0, ScheduleController::Upload))->setValue(20.0);
    static_cast<QComboBox*>(table.cellWidget(0, ScheduleController::DownloadKind))
        ->setCurrentIndex(static_cast<int>(SchedulePeriod::Download::Rate));
    static_cast<QDoubleSpinBox*>(table.cellWidget(0, ScheduleController::DownloadValue))
        ->setValue(80.0);

    const auto stored = preferences().arrayForKey(keys::rateSchedule);
    ASSERT_TRUE(stored && stored->isArray());
    ASSERT_EQ(stored->asArray().size(), 1U);
    const PlistValue::Dictionary& entry = stored->asArray()[0].asDictionary();
    EXPECT_EQ(entry.at("start").stringValue(), "22:00");
    EXPECT_EQ(entry.at("end").stringValue(), "07:00");
    EXPECT_FLOAT_EQ(entry.at("uploadRate").floatValue(), 20.0F);
    EXPECT_FLOAT_EQ(entry.at("downloadRate").floatValue(), 80.0F);

    EXPECT_FALSE(indicator.label().isHidden());
    EXPECT_TRUE(indicator.label().text().contains("Weeknights"))
        << indicator.label().text().toStdString();
    EXPECT_FLOAT_EQ(engine().getDATARate(), 20.0F);
    EXPECT_TRUE(engine().isDownloadRateOn());
    EXPECT_FLOAT_EQ(engine().getDownloadRate(), 80.0F);

    now = {1, 7 * 3600};  // Tuesday 07:00: the period's exclusive end
    indicator.refresh();
    EXPECT_TRUE(indicator.label().isHidden());
    EXPECT_FLOAT_EQ(engine().getDATARate(), 42.0F) << "the window's rate back";
    EXPECT_FALSE(engine().isDownloadRateOn());
}

}  // namespace
}  // namespace quellbox::testing
