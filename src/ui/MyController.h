#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/SavedServices.h"
#include "engine/TrafficListener.h"
#include "platform/NotificationCenter.h"
#include "platform/PlistValue.h"
#include "ui/TableDataSource.h"

class QCheckBox;
class QComboBox;
class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextBrowser;
class QWidget;

namespace quellbox {

class EngineControls;
class FloatSlider;
class GuardedSelectionModel;
class MainInterface;
class MainThreadTrafficListener;
class NoWaveProgressIndicator;
class Preferences;
class Presenter;
class RunLoop;
class Service;
class ServicesTableModel;
class SimScenario;
class alternatedRowColorTableView;

// The controller of the main window: it restores the services and their upload caps at
// start, keeps the services table (data source and editing rules), drives the cap switches,
// moves the gauges from the engine's events, shows the engine's problems, and runs the quit
// sequence (the save question, the wind-down of the rate, the removal of the divert rules).
class MyController : public QObject, public TableDataSource, public TrafficListener {
    Q_OBJECT

public:
    struct Collaborators {
        MainInterface& interface;
        // The engine, made by the first call (start-up step that takes the shared instance).
        std::function<EngineControls&()> engine;
        Preferences& preferences;
        NotificationCenter& notifications;
        RunLoop& mainRunLoop;
        Presenter& presenter;
        // Where the main window's frame is kept (an INI file of QSettings).
        QString frameSettingsPath;
        // Ends the application's event loop once the quit sequence is through.
        std::function<void()> quitApplication;
        // Sleeps the GUI thread during the wind-down.
        SavedServices::Sleep sleep;
        // On the simulated network: the scenario whose services are capped for the run.
        const SimScenario* scenario = nullptr;
        // Called as the quit's wind-down begins, before the rate is lowered; may be empty.
        std::function<void()> windingDown;
    };

    // The answers of applicationShouldTerminate.
    enum class TerminateReply { Cancel, Now, Later };

    static constexpr const char* kFrameName = "QBxMainWindow";
    static constexpr const char* kDonationPage = "https://payments.example.org/quellbox/donate";
    static constexpr const char* kDonationMail = "mailto:donations@example.org?subject=Quellbox";
    static constexpr const char* kMakerServer = "http://quellbox.example.org";

    explicit MyController(Collaborators collaborators);
    ~MyController() override;

    // The start-up, once the interface is loaded.
    void awakeFromNib();

    // Settings and the quit sequence.
    bool saveParameter();
    bool smthingHasChanged() const;
    bool windowShouldClose();
    TerminateReply applicationShouldTerminate();
    void didEndShouldQuit(int returnCode);
    void donatewareAlertSheetDidEnd(int returnCode);
    void properlyDeleteRulesBeforeQuit();
    // The application's terminate: asks applicationShouldTerminate and quits now, or when
    // the save question is answered with a quit.
    void terminate();
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    // A stop asked from outside (SIGINT, SIGTERM): the wind-down and the quit, no question.
    void terminateWithoutQuestion();

    // TableDataSource: the services table.
    int numberOfRowsInTableView() const override;
    QVariant objectValueForTableColumn(const QString& identifier, int row) const override;
    void setObjectValue(const QVariant& value, const QString& identifier, int row) override;
    bool shouldEditTableColumn(const QString& identifier, int row) const override;
    CellLook willDisplayCell(const QString& identifier, int row) const override;
    bool selectionShouldChangeInTableView() override;
    bool shouldSelectRow(int row) const override;
    bool toggleUlService(int clickedRow) override;
    bool toggleDlService(int clickedRow) override;

    // Actions.
    void addPort();
    void removePort();
    void capUL();
    void capDL();
    void openHelp();
    void openFAQ();
    void openHomePage();

    // Notification handlers.
    void noNetworkRouteFound();
    void genericIpfwProblemError(const Notification& notification);

    // TrafficListener, on the GUI thread (the engine's calls arrive through
    // MainThreadTrafficListener).
    void refreshView() override;
    void dataReceived(double bytes) override;
    void queueSizeChanged(double packets) override;
    void ackReceived(double bytes) override;

    // State, for the window's other parts and for tests.
    const std::vector<std::shared_ptr<Service>>& servicesArray() const { return servicesArray_; }
    const std::vector<int>& uploadCappedServicesPort() const { return uploadCappedServicesPort_; }
    const std::vector<int>& downloadCappedServicesPort() const {
        return downloadCappedServicesPort_;
    }
    float DATARate() const { return DATARate_; }
    float ACKPause() const { return ACKPause_; }
    bool canSelectAnotherRow() const { return canSelectAnotherRow_; }
    int lastSelectedColumn() const { return lastSelectedColumn_; }
    ServicesTableModel& tableModel() { return *tableModel_; }
    bool isHelpLoaded() const { return IsHelpLoaded_; }

signals:
    // The engine's refreshView, for the priority drawer's table.
    void refreshViewRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class QuitState { Running, Asking, WindingDown, Done };

    void observeNotifications();
    void restoreWindowFrame();
    void loadServices();
    void makeTable();
    void showRunServices();
    void donatewareReminder();
    void presentAlert(const std::string& title, const std::string& message,
                      const std::string& button, bool quitAfterwards);
    void quitNow();

    // The table's editing.
    void refuse(const QString& identifier, int row, bool beep);
    void selectRowAlone(int row);
    void editColumn(int column, int row);
    bool mayCapPort(int port);
    void reloadData();
    int selectedRow() const;
    bool otherRowHasName(const Service& service, const std::string& name) const;
    bool otherRowHasPort(const Service& service, int port) const;
    static int columnWithIdentifier(const QString& identifier);

    // The stored lists mirroring the table.
    PlistValue::Array storedList(const char* key) const;
    void storeList(const char* key, PlistValue::Array list);
    void setStoredEntry(const char* key, int row, PlistValue value);
    void appendStoredEntry(const char* key, PlistValue value);
    void removeStoredEntry(const char* key, int row);
    static void removePortFrom(std::vector<int>& ports, int port);

    // Collaborators.
    MainInterface& interface_;
    std::function<EngineControls&()> engineMaker_;
    Preferences& preferences_;
    NotificationCenter& notifications_;
    RunLoop& mainRunLoop_;
    Presenter& presenter_;
    QString frameSettingsPath_;
    std::function<void()> quitApplication_;
    SavedServices::Sleep sleep_;
    const SimScenario* scenario_;
    std::function<void()> windingDown_;

    // Outlets.
    QWidget& mainWindow_;
    alternatedRowColorTableView* portTableView;
    QPushButton* removePortButton;
    QPushButton* addPortButton;
    QCheckBox* capULSwitch;
    QCheckBox* capDLSwitch;
    FloatSlider* sliderUL;
    FloatSlider* sliderDL;
    QComboBox* DLRangePopUp;
    QComboBox* ULRangePopUp;
    QLabel* rangeDLmin;
    QLabel* rangeDLmax;
    QLabel* rangeULmin;
    QLabel* rangeULmax;
    QLineEdit* uploadRateTF;
    QLineEdit* downloadRateTF;
    NoWaveProgressIndicator* ackPacketGauge;
    NoWaveProgressIndicator* dataPacketGauge;
    NoWaveProgressIndicator* queueSizeGauge;
    QWidget* helpWindow;
    QTextBrowser* helpTextView;

    // State.
    bool canSelectAnotherRow_ = true;
    int lastSelectedColumn_ = 2;
    PlistValue::Dictionary beginPrefDict;
    std::vector<int> uploadCappedServicesPort_;
    std::vector<int> downloadCappedServicesPort_;
    std::vector<std::shared_ptr<Service>> servicesArray_;
    EngineControls* myThroughputLimiter = nullptr;
    float DATARate_ = -1.0F;
    float ACKPause_ = 0.0F;
    bool IsHelpLoaded_ = false;
    QuitState quitState_ = QuitState::Running;

    std::unique_ptr<ServicesTableModel> tableModel_;
    GuardedSelectionModel* selectionModel_ = nullptr;
    std::shared_ptr<MainThreadTrafficListener> engineListener_;
    std::vector<NotificationCenter::ObserverId> observers_;
};

}  // namespace quellbox
