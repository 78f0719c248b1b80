#include <QDoubleSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

#include "WindowFixture.h"
#include "engine/ScheduledRates.h"
#include "firewall/IPLayer.h"
#include "ui/ScheduleController.h"
#include "ui/ScheduleIndicator.h"
#include "ui/VersionCheck.h"

namespace quellbox::testing {
namespace {

class PreferencesWindow : public WindowFixture {
protected:
    void expectLogFileControlsEnabled(bool enabled) {
        for (QWidget* control : std::initializer_list<QWidget*>{
                 prefWindow().pathTextField, prefWindow().selectPathButton,
                 prefWindow().refreshDefaultPrioList, prefWindow().addDefaultPrioButton,
                 prefWindow().removeDefaultPrio, prefWindow().loginIPTable}) {
            EXPECT_EQ(control->isEnabled(), enabled) << control->objectName().toStdString();
        }
    }
    PlistTableModel& logins() { return prefs().loginTableModel(); }
    QString loginCell(int row, const char* identifier) {
        return cellText(logins(), row, identifier);
    }
    int selectedLoginRow() { return selectedRow(*prefWindow().loginIPTable); }
};

TEST_F(PreferencesWindow, StartUpShowsTheStoredValuesTheLogFileSwitchSetsTheControlsAndMenuShows) {
    preferences().setInteger(5000, keys::priorityFactor);
    preferences().setBool(true, keys::useServerLogFile);
    start();
    EXPECT_EQ(prefWindow().priorityStepSlider->value(), -5000);
    EXPECT_EQ(preferences().integerForKey(keys::priorityFactor), 5000) << "showing stores nothing";
    EXPECT_EQ(prefs().pathTextField().toStdString(), (folder() / "Downloads").string());
    EXPECT_TRUE(prefWindow().useLogFileSwitchButton->isChecked());
    expectLogFileControlsEnabled(true);
    // The sample file of the fixture's log folder.
    ASSERT_EQ(logins().rowCount(), 3);
    selectRow(*prefWindow().loginIPTable, 1);
    EXPECT_TRUE(logins().flags(logins().index(1, 1)) & Qt::ItemIsEditable);

    prefWindow().useLogFileSwitchButton->click();
    EXPECT_FALSE(preferences().boolForKey(keys::useServerLogFile));
    expectLogFileControlsEnabled(false);
    EXPECT_EQ(selectedLoginRow(), -1);
    // A disabled table's cells are greyed and take no input.
    EXPECT_FALSE(logins().flags(logins().index(1, 1)) & Qt::ItemIsEditable);
    EXPECT_TRUE(logins().data(logins().index(1, 1), Qt::ForegroundRole).isValid());
    prefWindow().useLogFileSwitchButton->click();
    EXPECT_TRUE(preferences().boolForKey(keys::useServerLogFile));
    expectLogFileControlsEnabled(true);

    EXPECT_FALSE(interface().prefWindow().isVisible());
    ui().actionPreferences->trigger();
    EXPECT_TRUE(interface().prefWindow().isVisible());
}

TEST_F(PreferencesWindow, PriorityStepQueueDelayInterfaceAndScheduleAreStoredAndReachTheEngine) {
    preferences().setInteger(250, keys::maxQueueDelay);
    const auto names = IPLayer::getInterfacesList();
    ASSERT_FALSE(names.empty());
    preferences().setObject(PlistValue(names.back()), keys::NetworkIf);
    start();
    EXPECT_FALSE(prefWindow().useLogFileSwitchButton->isChecked());
    expectLogFileControlsEnabled(false);
    prefWindow().priorityStepSlider->setValue(-3000);
    EXPECT_EQ(preferences().integerForKey(keys::priorityFactor), -3000);
    EXPECT_EQ(engine().priorityFactor(), 3000);

    QSpinBox& box = *prefWindow().maxQueueDelaySpinBox;
    EXPECT_EQ(box.value(), 250);
    box.setValue(box.minimum());
    EXPECT_EQ(preferences().integerForKey(keys::maxQueueDelay), 0);
    EXPECT_EQ(engine().maxQueueDelay(), std::chrono::milliseconds(0));
    box.stepBy(3);
    EXPECT_EQ(preferences().integerForKey(keys::maxQueueDelay), 30);
    EXPECT_EQ(engine().maxQueueDelay(), std::chrono::milliseconds(30));

    // The interface menu lists the system's interfaces.
    QComboBox& menu = *prefWindow().networkInterfacePopup;
    ASSERT_EQ(menu.count(), static_cast<int>(names.size()));
    for (int i = 0; i < menu.count(); ++i) {
        EXPECT_EQ(menu.itemText(i).toStdString(), names[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(menu.currentText().toStdString(), names.back());
    choose(&menu, 0);
    EXPECT_EQ(preferences().stringForKey(keys::NetworkIf)->stringValue(), names.front());

    // A scheduled period is stored and takes over the rates while it is on.
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
    EXPECT_FLOAT_EQ(engine().getDATARate(), 20.0F);
    EXPECT_TRUE(engine().isDownloadRateOn());
    EXPECT_FLOAT_EQ(engine().getDownloadRate(), 80.0F);

    now = {1, 7 * 3600};  // Tuesday 07:00: the period's exclusive end
    indicator.refresh();
    EXPECT_TRUE(indicator.label().isHidden());
    EXPECT_FLOAT_EQ(engine().getDATARate(), 42.0F) << "the window's rate back";
    EXPECT_FALSE(engine().isDownloadRateOn());
}

TEST_F(PreferencesWindow, DefaultPrioritiesAreEditedAndEveryLogFileChoiceRereadsThem) {
    preferences().setBool(true, keys::useServerLogFile);
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "qim=10\nzed=4\n"));
    priorities().parseQbxPrioFile();
    ipmode().activate(false);  // Priority Mode reads the file too
    const defaultPriorityParser& modeDefaults = *ipmode().defaultPriorityParser();
    const auto oldDate = std::chrono::system_clock::now() - std::chrono::hours(48);
    preferences().setObject(PlistValue(oldDate), keys::beginDate);
    preferences().setInteger(42, keys::cursorBegin);
    preferences().setInteger(42, keys::logCursor);
    start();

    prefWindow().addDefaultPrioButton->click();
    ASSERT_EQ(logins().rowCount(), 3);
    EXPECT_EQ(loginCell(0, "login"), "newLogin");  // sorted ignoring case: newLogin, qim, zed
    EXPECT_EQ(selectedLoginRow(), 0);
    EXPECT_EQ(AtomicFile::read(prioritiesFile()), "qim=10\nzed=4\nnewLogin=5\n");
    EXPECT_TRUE(modeDefaults.containsEntryWithLogin("newLogin"));
    // A second "newLogin" is refused: table and selection stay.
    selectRow(*prefWindow().loginIPTable, 2);
    prefWindow().addDefaultPrioButton->click();
    EXPECT_EQ(logins().rowCount(), 3);
    EXPECT_EQ(selectedLoginRow(), 2);

    ASSERT_TRUE(logins().setData(logins().index(2, 1), 7, Qt::EditRole));
    EXPECT_EQ(loginCell(2, "priority"), "7");
    EXPECT_EQ(modeDefaults.defaultPriorityForLogin("zed"), 7);
    ASSERT_TRUE(logins().setData(logins().index(0, 0), QString("ann"), Qt::EditRole));
    EXPECT_EQ(loginCell(0, "login"), "ann");
    EXPECT_EQ(AtomicFile::read(prioritiesFile()), "qim=10\nzed=7\nann=5\n");

    selectRow(*prefWindow().loginIPTable, 1);  // qim
    prefWindow().removeDefaultPrio->click();
    EXPECT_EQ(AtomicFile::read(prioritiesFile()), "zed=7\nann=5\n");
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

    // Choosing the log file: after a cancel or the same file the log goes on, after another one
    // it restarts; every choice reads the priorities again.
    ASSERT_TRUE(AtomicFile::write(prioritiesFile(), "amy=1\nben=2\nkai=3\nlou=4\n"));
    prefs().setPathString();
    EXPECT_EQ(preferences().stringForKey(keys::logPath)->stringValue(),
              (folder() / "Downloads").string());
    ASSERT_EQ(logins().rowCount(), 4);
    fileChoice = (folder() / "Downloads").string();
    prefWindow().selectPathButton->click();
    EXPECT_EQ(fileChoices, 2);
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

// ---- the version check ------------------------------------------------------------------------

// An HTTP server on 127.0.0.1 answering every request with `body`, or, when silent, never.
class LocalHttpServer {
public:
    explicit LocalHttpServer(QByteArray body, bool silent = false)
        : body_(std::move(body)), silent_(silent) {
        if (!server_.listen(QHostAddress::LocalHost, 0)) {
            qFatal("the test server cannot listen on 127.0.0.1");
        }
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                auto request = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket, request] { answer(*socket, *request); });
            }
        });
    }
    QString address() const { return QString("http://127.0.0.1:%1").arg(server_.serverPort()); }
    int requests() const { return requests_; }
    const QByteArray& lastRequestLine() const { return lastRequestLine_; }

private:
    void answer(QTcpSocket& socket, QByteArray& request) {
        request.append(socket.readAll());
        if (!request.contains("\r\n\r\n")) {
            return;
        }
        ++requests_;
        lastRequestLine_ = request.left(request.indexOf("\r\n"));
        request.clear();
        if (silent_) {
            return;
        }
        socket.write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nConnection: close\r\n"
            "Content-Length: " +
            QByteArray::number(body_.size()) + "\r\n\r\n" + body_);
        socket.disconnectFromHost();
    }

    QTcpServer server_;
    QByteArray body_;
    bool silent_;
    int requests_ = 0;
    QByteArray lastRequestLine_;
};

QByteArray plistBody(const PlistValue& value) { return QByteArray::fromStdString(value.toXml()); }
QByteArray versionFile(const std::string& version) {
    return plistBody(PlistValue(PlistValue::Dictionary{{"version", PlistValue(version)}}));
}

// One check switched on with its check box, against a server answering `body` (none for an
// empty one), and what the window makes of it.
struct VersionCase {
    const char* name;
    QByteArray body;
    bool fileRead;  // else the check is skipped
    int panelAnswer;
    const char* offered;    // the version the alert names, or null for no alert
    bool storedOn = false;  // the check runs at start, not at the check box's click
};

std::vector<VersionCase> versionCases() {
    QByteArray huge = versionFile("9.9");  // valid, padded far beyond the size limit
    huge.insert(huge.indexOf("<dict>"), QByteArray(4 * 1024 * 1024, ' '));
    static const char garbage[] = "<html>\0\xff no plist <plist><dict><key>version";
    const int upgrade = Presenter::kDefaultButton;
    const int keep = Presenter::kAlternateButton;
    return {
        {"SameVersion", versionFile(QUELLBOX_VERSION), true, upgrade, nullptr},
        {"OlderCountsAsNew", versionFile("0.0.9"), true, upgrade, "0.0.9"},
        {"KeepingTheCurrentOne", versionFile("9.9"), true, keep, "9.9"},
        {"StoredOnChecksAtStart", versionFile("9.9"), true, keep, "9.9", true},
        {"NoServer", {}, false, upgrade, nullptr},
        {"Garbage", QByteArray(garbage, sizeof garbage - 1), false, upgrade, nullptr},
        {"NoDictionary", plistBody(PlistValue(PlistValue::Array{PlistValue("2.0")})), false,
         upgrade, nullptr},
        {"HugeBody", huge, false, upgrade, nullptr},
    };
}

class VersionCheckWindow : public PreferencesWindow,
                           public ::testing::WithParamInterface<VersionCase> {
protected:
    SystemLogCapture log;
};

TEST_P(VersionCheckWindow, AlertsOnlyForAnotherVersion) {
    const VersionCase& check = GetParam();
    std::optional<LocalHttpServer> server;
    if (!check.body.isEmpty()) {
        server.emplace(check.body);
    }
    // Without one, a port a server held a moment ago.
    const QString address = server ? server->address() : LocalHttpServer("").address();
    preferences().setObject(PlistValue(address.toStdString()), keys::versionCheckURL);
    presenter().panelAnswer = check.panelAnswer;
    preferences().setBool(check.storedOn, keys::checkForUpdate);
    start();
    EXPECT_EQ(prefWindow().checkUpdatesButton->isChecked(), check.storedOn);
    if (!check.storedOn) {
        prefWindow().checkUpdatesButton->click();
    }
    ASSERT_TRUE(preferences().boolForKey(keys::checkForUpdate));
    // The log tells the version read, or that the check was skipped.
    const std::string read =
        "lastest version : " + std::string(check.offered ? check.offered : QUELLBOX_VERSION);
    const std::string skipped =
        "can't reach " + address.toStdString() + " : the version check is skipped";
    ASSERT_TRUE(processEventsUntil([&] { return log.count(read) + log.count(skipped) > 0; }));
    processPendingEvents();                    // the panel is posted, not shown from the transfer
    prefWindow().checkUpdatesButton->click();  // switched off: no check runs
    EXPECT_FALSE(preferences().boolForKey(keys::checkForUpdate));
    processPendingEvents();

    if (server) {
        EXPECT_EQ(server->requests(), 1);
        EXPECT_EQ(server->lastRequestLine(), "GET /QuellboxNewVersionCheck.plist HTTP/1.1");
    }
    EXPECT_EQ(log.count(skipped), check.fileRead ? 0 : 1);
    if (check.offered == nullptr) {
        EXPECT_TRUE(presenter().panels.empty());
        return;
    }
    ASSERT_EQ(presenter().panels.size(), 1U);
    EXPECT_NE(presenter().panels[0].message.find(std::string(" ") + check.offered + " version"),
              std::string::npos)
        << presenter().panels[0].message;
    EXPECT_EQ(presenter().urls, check.panelAnswer == Presenter::kDefaultButton
                                    ? std::vector<std::string>{address.toStdString() + "/#download"}
                                    : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Answers, VersionCheckWindow, ::testing::ValuesIn(versionCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VersionCheckFetch, OnlyHttpIsFetchedAndASilentServerEndsAtTheTimeOut) {
    application();
    LocalHttpServer silent("", true);
    VersionCheck check(std::chrono::milliseconds(300));
    for (const QString& server : {silent.address(), QString("file:///etc"),
                                  QString("ftp://127.0.0.1"), QString("not a url"), QString()}) {
        bool answered = false;
        std::optional<PlistValue::Dictionary> answer = PlistValue::Dictionary{};
        check.fetch(server, [&](std::optional<PlistValue::Dictionary> versionFile) {
            answered = true;
            answer = std::move(versionFile);
        });
        ASSERT_TRUE(processEventsUntil([&] { return answered; })) << server.toStdString();
        EXPECT_FALSE(answer) << server.toStdString();
    }
    EXPECT_EQ(silent.requests(), 1);
}

}  // namespace
}  // namespace quellbox::testing
