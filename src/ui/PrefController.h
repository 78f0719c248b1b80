#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/VersionCheck.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTableView;
class QWidget;

namespace quellbox {

class EngineControls;
class MainInterface;
class PlistTableModel;
class Preferences;
class Presenter;
class defaultPriorityParser;

// The preferences window: the server's log file and whether it is used, the default
// priorities per login, the priority step, the longest queueing delay, the network interface
// and the version check at start. Every change goes to the settings store at once (and to the
// engine where it needs it; Priority Mode reads the default priorities file again after each edit).
// Its start-up also starts the version check, which never blocks the window.
class PrefController : public QObject {
    Q_OBJECT

public:
    // The file chooser: the chosen file's path, or nothing when the user cancels.
    using ChooseFile = std::function<std::optional<std::string>(QWidget& parent)>;

    struct Collaborators {
        MainInterface& interface;
        std::function<EngineControls&()> engine;
        Preferences& preferences;
        std::shared_ptr<defaultPriorityParser> defaultPriorities;
        // Called after each edit of the default priorities file made here, so that Priority
        // Mode reads it again; may be empty.
        std::function<void()> defaultPrioritiesEdited;
        Presenter& presenter;
        // Empty: the desktop's file dialog (askForLogFile).
        ChooseFile chooseLogFile;
        std::chrono::milliseconds versionCheckTimeout = VersionCheck::kDefaultTimeout;
    };

    explicit PrefController(Collaborators collaborators);
    ~PrefController() override;

    void awakeFromNib();

    // Actions.
    void showPrefWindow();
    void useServerLogFile();
    void setPathString();
    void addDefaultPrio();
    void removeDefaultPrio();
    void refreshDefaultPrio();
    void priorityStepSliderHasChanged();
    void maxQueueDelayHasChanged();
    void networkInterfaceChange();
    void checkForUpdateAtLaunch();

    // The version check: fetches the version file and, when its version differs from this
    // program's, shows the new-version alert (later, on the GUI thread).
    void goCheckForUpdateOnline();
    // The new-version alert for (current version, latest version).
    void newQuellboxVersionOnline(const std::string& currentVersion,
                                  const std::string& latestVersion);
    // The server the version check and the download page use: the setting
    // "versionCheckURL" when it is set, otherwise the maker's web server.
    QString makerServer() const;

    QString pathTextField() const;
    QTableView* loginIPTable() const { return loginIPTable_; }
    PlistTableModel& loginTableModel() { return *loginTableModel_; }

    // The desktop's file chooser for the log file, opened on "Downloads".
    static std::optional<std::string> askForLogFile(QWidget& parent);

private:
    void setLogFileControlsEnabled(bool enabled);
    std::string storedLogPath() const;

    MainInterface& interface_;
    std::function<EngineControls&()> engine_;
    Preferences& preferences_;
    std::shared_ptr<defaultPriorityParser> defaultPriorities_;
    std::function<void()> defaultPrioritiesEdited_;
    Presenter& presenter_;
    ChooseFile chooseLogFile_;

    // Outlets.
    QWidget* prefWindow;
    QCheckBox* useLogFileSwitchButton;
    QTableView* loginIPTable_;
    QPushButton* addDefaultPrioButton;
    QPushButton* removeDefaultPrioButton;
    QPushButton* refreshDefaultPrioList;
    QLineEdit* pathTextField_;
    QPushButton* selectPathButton;
    QSlider* priorityStepSlider;
    QSpinBox* maxQueueDelaySpinBox;
    QCheckBox* checkUpdatesButton;
    QComboBox* networkInterfacePopup;

    std::unique_ptr<PlistTableModel> loginTableModel_;
    VersionCheck versionCheck_;
};

}  // namespace quellbox
