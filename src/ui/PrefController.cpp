#include "ui/PrefController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "engine/EngineControls.h"
#include "firewall/IPLayer.h"
#include "platform/LocalizedText.h"
#include "platform/SystemLog.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui/MainInterface.h"
#include "ui/MyController.h"
#include "ui/PlistTableModel.h"
#include "ui/Presenter.h"
#include "ui_MainWindow.h"
#include "ui_PreferencesWindow.h"

namespace quellbox {

namespace {

constexpr int kSliderMinimum = -15000;
constexpr int kSliderMaximum = -1000;
const char* const kNewLogin = "newLogin";
constexpr int kNewLoginPriority = 5;

std::string localized(const char* english) { return LocalizedText::lookup(english); }

}  // namespace

PrefController::PrefController(Collaborators collaborators)
    : interface_(collaborators.interface),
      engine_(std::move(collaborators.engine)),
      preferences_(collaborators.preferences),
      defaultPriorities_(std::move(collaborators.defaultPriorities)),
      defaultPrioritiesEdited_(collaborators.defaultPrioritiesEdited
                                   ? std::move(collaborators.defaultPrioritiesEdited)
                                   : [] {}),
      presenter_(collaborators.presenter),
      chooseLogFile_(collaborators.chooseLogFile ? std::move(collaborators.chooseLogFile)
                                                 : ChooseFile(askForLogFile)),
      loginTableModel_(std::make_unique<PlistTableModel>(std::vector<PlistTableModel::Column>{
          {"login", tr("Login")}, {"priority", tr("Default Priority")}})),
      versionCheck_(collaborators.versionCheckTimeout) {
    Ui::QuellboxPreferencesWindow& ui = interface_.preferences();
    prefWindow = &interface_.prefWindow();
    useLogFileSwitchButton = ui.useLogFileSwitchButton;
    loginIPTable_ = ui.loginIPTable;
    addDefaultPrioButton = ui.addDefaultPrioButton;
    removeDefaultPrioButton = ui.removeDefaultPrio;
    refreshDefaultPrioList = ui.refreshDefaultPrioList;
    pathTextField_ = ui.pathTextField;
    selectPathButton = ui.selectPathButton;
    priorityStepSlider = ui.priorityStepSlider;
    maxQueueDelaySpinBox = ui.maxQueueDelaySpinBox;
    checkUpdatesButton = ui.checkUpdatesButton;
    networkInterfacePopup = ui.networkInterfacePopup;

    loginIPTable_->setModel(loginTableModel_.get());
    loginIPTable_->horizontalHeader()->setStretchLastSection(true);
    loginIPTable_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    loginIPTable_->verticalHeader()->hide();
    // A moved slider counts once, when it is let go, not at every step of the drag.
    priorityStepSlider->setTracking(false);

    // The interface's connections, made before the start-up as a loaded interface has them.
    connect(interface_.main().actionPreferences, &QAction::triggered, this,
            [this] { showPrefWindow(); });
    connect(useLogFileSwitchButton, &QCheckBox::clicked, this, [this] { useServerLogFile(); });
    connect(selectPathButton, &QPushButton::clicked, this, [this] { setPathString(); });
    connect(addDefaultPrioButton, &QPushButton::clicked, this, [this] { addDefaultPrio(); });
    connect(removeDefaultPrioButton, &QPushButton::clicked, this, [this] { removeDefaultPrio(); });
    connect(refreshDefaultPrioList, &QPushButton::clicked, this, [this] { refreshDefaultPrio(); });
    connect(priorityStepSlider, &QSlider::valueChanged, this,
            [this] { priorityStepSliderHasChanged(); });
    connect(maxQueueDelaySpinBox, &QSpinBox::valueChanged, this,
            [this] { maxQueueDelayHasChanged(); });
    connect(networkInterfacePopup, &QComboBox::activated, this,
            [this] { networkInterfaceChange(); });
    connect(checkUpdatesButton, &QCheckBox::clicked, this, [this] { checkForUpdateAtLaunch(); });
}

PrefController::~PrefController() { loginIPTable_->setModel(nullptr); }

// ---- start-up -------------------------------------------------------------------------------

void PrefController::awakeFromNib() {
    const std::string logPath = storedLogPath();
    pathTextField_->setText(logPath.empty()
                                ? QString::fromStdString(localized(
                                      "The path to your Carracho Server 'Downloads' file..."))
                                : QString::fromStdString(logPath));

    defaultPriorityParser* defaults = defaultPriorities_.get();
    QTableView* table = loginIPTable_;
    loginTableModel_->setSource(PlistTableModel::Source{
        [defaults] { return defaults->numberOfRowsInTableView(); },
        [defaults](const std::string& identifier, int row) {
            return defaults->objectValueForTableColumn(identifier, row);
        },
        [this, defaults](const PlistValue& value, const std::string& identifier, int row) {
            defaults->setObjectValue(value, identifier, row,
                                     [this] { loginTableModel_->reloadData(); });
            defaultPrioritiesEdited_();
        },
        [defaults, table](const std::string& identifier, int row) {
            return defaults->willDisplayCell(table->isEnabled(), identifier, row).editable;
        },
        [defaults, table](const std::string& identifier, int row) {
            return defaults->willDisplayCell(table->isEnabled(), identifier, row).disabledTextColor;
        }});

    const bool useLogFile = preferences_.boolForKey(keys::useServerLogFile);
    setLogFileControlsEnabled(useLogFile);
    loginTableModel_->reloadData();
    useLogFileSwitchButton->setChecked(useLogFile);

    {
        const QSignalBlocker quiet(priorityStepSlider);
        priorityStepSlider->setRange(kSliderMinimum, kSliderMaximum);
        const long long stored = std::llabs(preferences_.integerForKey(keys::priorityFactor));
        priorityStepSlider->setValue(static_cast<int>(
            -std::min<long long>(stored, -static_cast<long long>(kSliderMinimum))));
    }
    {
        const QSignalBlocker quiet(maxQueueDelaySpinBox);
        maxQueueDelaySpinBox->setRange(0, static_cast<int>(kLongestQueueDelayMs));
        // A value edited by hand out of range shows clamped; it is stored only when changed.
        maxQueueDelaySpinBox->setValue(static_cast<int>(std::clamp<std::int64_t>(
            preferences_.integerForKey(keys::maxQueueDelay), 0, kLongestQueueDelayMs)));
    }

    networkInterfacePopup->clear();
    for (const std::string& name : IPLayer::getInterfacesList()) {
        networkInterfacePopup->addItem(QString::fromStdString(name));
    }
    const std::string chosen =
        preferences_.stringForKey(keys::NetworkIf).value_or(PlistValue()).stringValue();
    networkInterfacePopup->setCurrentIndex(
        networkInterfacePopup->findText(QString::fromStdString(chosen)));

    const bool checkForUpdate = preferences_.boolForKey(keys::checkForUpdate);
    checkUpdatesButton->setChecked(checkForUpdate);
    if (checkForUpdate) {
        goCheckForUpdateOnline();
    }
}

std::string PrefController::storedLogPath() const {
    return preferences_.stringForKey(keys::logPath).value_or(PlistValue()).stringValue();
}

QString PrefController::pathTextField() const { return pathTextField_->text(); }

void PrefController::showPrefWindow() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = prefWindow->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        prefWindow->move(frame.topLeft());
    }
    prefWindow->show();
    prefWindow->raise();
    prefWindow->activateWindow();
}

// ---- the log file ---------------------------------------------------------------------------

void PrefController::setLogFileControlsEnabled(bool enabled) {
    for (QWidget* control : std::initializer_list<QWidget*>{
             pathTextField_, selectPathButton, refreshDefaultPrioList, addDefaultPrioButton,
             removeDefaultPrioButton, loginIPTable_}) {
        control->setEnabled(enabled);
    }
    if (!enabled) {
        loginIPTable_->clearSelection();
    }
}

void PrefController::useServerLogFile() {
    const bool wasOn = preferences_.boolForKey(keys::useServerLogFile);
    setLogFileControlsEnabled(!wasOn);
    loginTableModel_->reloadData();
    preferences_.setBool(!wasOn, keys::useServerLogFile);
    useLogFileSwitchButton->setChecked(!wasOn);
}

std::optional<std::string> PrefController::askForLogFile(QWidget& parent) {
    QFileDialog dialog(&parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.selectFile("Downloads");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first().toStdString();
}

void PrefController::setPathString() {
    if (const auto chosen = chooseLogFile_(*prefWindow)) {
        pathTextField_->setText(QString::fromStdString(*chosen));
        if (*chosen != storedLogPath()) {
            // The log is read again from its beginning.
            preferences_.setObject(PlistValue(std::chrono::system_clock::now()), keys::beginDate);
            preferences_.setInteger(0, keys::cursorBegin);
            preferences_.setInteger(0, keys::logCursor);
            preferences_.setObject(PlistValue(*chosen), keys::logPath);
        }
    }
    // The default priorities file lies beside the log file.
    refreshDefaultPrio();
}

// ---- default priorities ---------------------------------------------------------------------

void PrefController::addDefaultPrio() {
    if (!defaultPriorities_->addEntry(kNewLoginPriority, kNewLogin)) {
        return;
    }
    defaultPrioritiesEdited_();
    loginTableModel_->reloadData();
    const auto logins = defaultPriorities_->keyArray();
    const auto found = std::find(logins.begin(), logins.end(), kNewLogin);
    if (found == logins.end()) {
        return;
    }
    const QModelIndex row = loginTableModel_->index(static_cast<int>(found - logins.begin()), 0);
    loginIPTable_->selectionModel()->select(
        row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    loginIPTable_->scrollTo(row);
}

void PrefController::removeDefaultPrio() {
    const QModelIndexList selected = loginIPTable_->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;
    }
    const int row = selected.first().row();
    const auto logins = defaultPriorities_->keyArray();
    if (row < static_cast<int>(logins.size())) {
        const std::string& login = logins[static_cast<std::size_t>(row)];
        if (defaultPriorities_->removeEntry(defaultPriorities_->defaultPriorityForLogin(login),
                                            login)) {
            defaultPrioritiesEdited_();
        } else {
            SystemLog::logf("error when trying to remove line %d", row);
        }
    }
    loginTableModel_->reloadData();
}

void PrefController::refreshDefaultPrio() {
    defaultPriorities_->parseQbxPrioFile();
    defaultPrioritiesEdited_();
    loginTableModel_->reloadData();
}

// ---- priority step, queueing delay, interface -----------------------------------------------

void PrefController::priorityStepSliderHasChanged() {
    const int value = priorityStepSlider->value();
    const int step = std::abs(value);
    SystemLog::logf("PriorityStep is now = %d", step);
    preferences_.setInteger(value, keys::priorityFactor);
    engine_().setPriorityFactor(step);
}

void PrefController::maxQueueDelayHasChanged() {
    const int milliseconds = maxQueueDelaySpinBox->value();
    SystemLog::logf("the longest queueing delay is now %d ms (0: off)", milliseconds);
    preferences_.setInteger(milliseconds, keys::maxQueueDelay);
    engine_().setMaxQueueDelay(std::chrono::milliseconds(milliseconds));
}

void PrefController::networkInterfaceChange() {
    preferences_.setObject(PlistValue(networkInterfacePopup->currentText().toStdString()),
                           keys::NetworkIf);
}

// ---- the version check ----------------------------------------------------------------------

void PrefController::checkForUpdateAtLaunch() {
    if (preferences_.boolForKey(keys::checkForUpdate)) {
        preferences_.setBool(false, keys::checkForUpdate);
        checkUpdatesButton->setChecked(false);
        return;
    }
    preferences_.setBool(true, keys::checkForUpdate);
    checkUpdatesButton->setChecked(true);
    goCheckForUpdateOnline();
}

QString PrefController::makerServer() const {
    const std::string chosen =
        preferences_.stringForKey(keys::versionCheckURL).value_or(PlistValue()).stringValue();
    return QString::fromStdString(chosen.empty() ? std::string(MyController::kMakerServer)
                                                 : chosen);
}

void PrefController::goCheckForUpdateOnline() {
    const std::string current = QUELLBOX_VERSION;
    SystemLog::logf("current version : %s", current.c_str());
    const QString server = makerServer();
    versionCheck_.fetch(
        server, [this, current, server](std::optional<PlistValue::Dictionary> versionFile) {
            if (!versionFile) {
                SystemLog::logf("can't reach %s : the version check is skipped",
                                server.toStdString().c_str());
                return;
            }
            const auto version = versionFile->find("version");
            const std::string latest =
                version == versionFile->end() ? std::string() : version->second.stringValue();
            SystemLog::logf("lastest version : %s", latest.c_str());
            if (latest != current) {
                // The alert runs an event loop of its own: not from inside the transfer's signal.
                QTimer::singleShot(0, this, [this, current, latest] {
                    newQuellboxVersionOnline(current, latest);
                });
            }
        });
}

void PrefController::newQuellboxVersionOnline(const std::string&,
                                              const std::string& latestVersion) {
    QString message = QString::fromStdString(
        localized("Would you like to visit the site and download the new %@ version now?"));
    message.replace("%@", QString::fromStdString(latestVersion));
    const int answer = presenter_.runAlertPanel(
        Presenter::Sheet{localized("A New Quellbox Version is Available"), localized("Upgrade Now"),
                         localized("Keep Current Version"), "", message.toStdString()});
    if (answer == Presenter::kDefaultButton) {
        presenter_.openUrl(makerServer().toStdString() + "/#download");
    }
}

}  // namespace quellbox
