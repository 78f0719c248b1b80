#include "ui/MyController.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTextBrowser>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "engine/EngineControls.h"
#include "engine/RandomSource.h"
#include "platform/LocalizedText.h"
#include "platform/RunLoop.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/Service.h"
#include "simulation/FrontEndStart.h"
#include "ui/FloatSlider.h"
#include "ui/GuardedSelectionModel.h"
#include "ui/MainInterface.h"
#include "ui/MainThreadTrafficListener.h"
#include "ui/NoWaveProgressIndicator.h"
#include "ui/Presenter.h"
#include "ui/ServicesTableModel.h"
#include "ui/alternatedRowColorTableView.h"
#include "ui_HelpWindow.h"
#include "ui_MainWindow.h"

namespace quellbox {

namespace {

constexpr double kReminderPeriodSeconds = 2592000.0;  // 30 days
const char* const kHelpResource = ":/QuellboxHelp.html";

std::string localized(const char* english) { return LocalizedText::lookup(english); }

// The integer at the start of a typed text, as a number field reads it: leading blanks, a
// sign and digits; 0 when there are no digits; out-of-range values end at the int limits.
int integerValue(const QVariant& value) {
    if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::LongLong) {
        return static_cast<int>(std::clamp<long long>(value.toLongLong(), INT_MIN, INT_MAX));
    }
    const std::string text = value.toString().toStdString();
    errno = 0;
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(parsed, INT_MIN, INT_MAX));
}

}  // namespace

MyController::MyController(Collaborators collaborators)
    : interface_(collaborators.interface),
      engineMaker_(std::move(collaborators.engine)),
      preferences_(collaborators.preferences),
      notifications_(collaborators.notifications),
      mainRunLoop_(collaborators.mainRunLoop),
      presenter_(collaborators.presenter),
      frameSettingsPath_(std::move(collaborators.frameSettingsPath)),
      quitApplication_(std::move(collaborators.quitApplication)),
      sleep_(std::move(collaborators.sleep)),
      scenario_(collaborators.scenario),
      windingDown_(std::move(collaborators.windingDown)),
      mainWindow_(interface_.mainWindow()) {
    Ui::QuellboxMainWindow& ui = interface_.main();
    portTableView = ui.portTableView;
    removePortButton = ui.removePortButton;
    addPortButton = ui.addPortButton;
    capULSwitch = ui.capULSwitch;
    capDLSwitch = ui.capDLSwitch;
    sliderUL = ui.sliderUL;
    sliderDL = ui.sliderDL;
    DLRangePopUp = ui.DLRangePopUp;
    ULRangePopUp = ui.ULRangePopUp;
    rangeDLmin = ui.rangeDLmin;
    rangeDLmax = ui.rangeDLmax;
    rangeULmin = ui.rangeULmin;
    rangeULmax = ui.rangeULmax;
    uploadRateTF = ui.uploadRateTF;
    downloadRateTF = ui.downloadRateTF;
    ackPacketGauge = ui.ackPacketGauge;
    dataPacketGauge = ui.dataPacketGauge;
    queueSizeGauge = ui.queueSizeGauge;
    helpWindow = &interface_.helpWindow();
    helpTextView = interface_.help().helpTextView;

    // The interface's connections, made before the start-up as a loaded interface has them.
    connect(addPortButton, &QPushButton::clicked, this, [this] { addPort(); });
    connect(removePortButton, &QPushButton::clicked, this, [this] { removePort(); });
    connect(capULSwitch, &QCheckBox::clicked, this, [this] { capUL(); });
    connect(capDLSwitch, &QCheckBox::clicked, this, [this] { capDL(); });
    connect(ui.actionHelp, &QAction::triggered, this, [this] { openHelp(); });
    connect(ui.actionFAQ, &QAction::triggered, this, [this] { openFAQ(); });
    connect(ui.actionHomePage, &QAction::triggered, this, [this] { openHomePage(); });
    connect(ui.actionQuit, &QAction::triggered, this, [this] { terminate(); });
    mainWindow_.installEventFilter(this);
}

MyController::~MyController() {
    for (const auto observer : observers_) {
        notifications_.removeObserver(observer);
    }
    if (myThroughputLimiter != nullptr && engineListener_) {
        myThroughputLimiter->removeTrafficListener(engineListener_.get());
    }
    mainWindow_.removeEventFilter(this);
    portTableView->setModel(nullptr);
}

// ---- start-up -------------------------------------------------------------------------------

void MyController::awakeFromNib() {
    observeNotifications();
    beginPrefDict = preferences_.dictionaryRepresentation();
    RandomSource::shared().seedFromTimeOfDay();
    restoreWindowFrame();
    mainWindow_.show();
    mainWindow_.raise();
    mainWindow_.activateWindow();

    capDLSwitch->setChecked(false);
    sliderDL->setEnabled(false);
    DLRangePopUp->setEnabled(false);
    downloadRateTF->setEnabled(false);

    uploadCappedServicesPort_.clear();
    downloadCappedServicesPort_.clear();
    loadServices();
    makeTable();
    capULSwitch->setChecked(true);

    const std::vector<bool> activated =
        SavedServices::activatedFlags(preferences_, servicesArray_.size());
    myThroughputLimiter = &engineMaker_();
    uploadCappedServicesPort_ =
        SavedServices::reapplySavedCaps(*myThroughputLimiter, servicesArray_, activated);
    showRunServices();

    engineListener_ = std::make_shared<MainThreadTrafficListener>(*this, mainRunLoop_);
    myThroughputLimiter->addTrafficListener(engineListener_);
    donatewareReminder();
}

void MyController::observeNotifications() {
    // Handlers run on the posting thread; there they only hand the notification to the GUI
    // thread (or handle it at once when they already are on it).
    QPointer<MyController> self(this);
    RunLoop& loop = mainRunLoop_;
    auto onMainThread = [&loop](std::function<void()> work) {
        if (loop.isMainThread()) {
            work();
        } else {
            loop.performOnMainThread(std::move(work), false);
        }
    };
    observers_.push_back(notifications_.addObserver("noNetworkNotification",
                                                    [self, onMainThread](const Notification&) {
                                                        onMainThread([self] {
                                                            if (self) {
                                                                self->noNetworkRouteFound();
                                                            }
                                                        });
                                                    }));
    observers_.push_back(notifications_.addObserver(
        "genericIpfwProblemNotification", [self, onMainThread](const Notification& notification) {
            onMainThread([self, notification] {
                if (self) {
                    self->genericIpfwProblemError(notification);
                }
            });
        }));
}

void MyController::restoreWindowFrame() {
    QSettings frames(frameSettingsPath_, QSettings::IniFormat);
    const QByteArray frame = frames.value(kFrameName).toByteArray();
    if (!frame.isEmpty() && !mainWindow_.restoreGeometry(frame)) {
        SystemLog::log("the saved frame of the main window could not be restored");
    }
}

void MyController::loadServices() { servicesArray_ = SavedServices::load(preferences_); }

void MyController::makeTable() {
    tableModel_ = std::make_unique<ServicesTableModel>(*this);
    portTableView->setModel(tableModel_.get());
    selectionModel_ = new GuardedSelectionModel(tableModel_.get(), *this, portTableView);
    portTableView->setSelectionModel(selectionModel_);
    QHeaderView* header = portTableView->horizontalHeader();
    header->setSectionResizeMode(columnWithIdentifier("Ul"), QHeaderView::ResizeToContents);
    header->setSectionResizeMode(columnWithIdentifier("Dl"), QHeaderView::ResizeToContents);
    header->setSectionResizeMode(columnWithIdentifier("Service"), QHeaderView::Stretch);
    header->setSectionResizeMode(columnWithIdentifier("Port"), QHeaderView::ResizeToContents);
    portTableView->verticalHeader()->hide();
    canSelectAnotherRow_ = true;
    lastSelectedColumn_ = columnWithIdentifier("Service");
    reloadData();
}

void MyController::showRunServices() {
    if (scenario_ != nullptr) {
        // The simulated network's own services are capped for this run. One the table lacks
        // becomes a complete row, stored like a row the user made.
        const auto appended =
            FrontEndStart::capScenarioServices(*myThroughputLimiter, *scenario_, servicesArray_);
        for (const auto& service : appended) {
            const int row =
                static_cast<int>(std::find(servicesArray_.begin(), servicesArray_.end(), service) -
                                 servicesArray_.begin());
            setStoredEntry(keys::servicesNameArray, row, PlistValue(service->name()));
            setStoredEntry(keys::servicesPortArray, row,
                           PlistValue(static_cast<int>(service->servicePort())));
            setStoredEntry(keys::activatedULServices, row, PlistValue(service->uploadIsCapped()));
        }
        for (const auto& service : servicesArray_) {
            const int port = service->servicePort();
            if (service->uploadIsCapped() &&
                std::find(uploadCappedServicesPort_.begin(), uploadCappedServicesPort_.end(),
                          port) == uploadCappedServicesPort_.end()) {
                uploadCappedServicesPort_.push_back(port);
            }
            if (service->downloadIsCapped()) {
                downloadCappedServicesPort_.push_back(port);
            }
        }
    }
    reloadData();
}

void MyController::donatewareReminder() {
    const auto now = std::chrono::system_clock::now();
    const auto stored = preferences_.objectForKey(keys::lastDonatewareAdvertisementDate);
    if (stored && stored->type() == PlistValue::Type::Date) {
        const double d = std::chrono::duration<double>(stored->asDate() - now).count();
        if (!(d <= -kReminderPeriodSeconds || d > 0.0)) {
            return;
        }
    }
    Presenter::Sheet sheet;
    sheet.title = localized("Informations About Quellbox");
    sheet.defaultButton = localized("Visit Paypal");
    sheet.alternateButton = localized("Don't care !");
    sheet.otherButton = localized("Mail Us");
    sheet.message = localized(
        "Quellbox is donateware: you may use it freely, and you can help its authors by donating "
        "money. It is the result of hundreds of hours of work.\n\n"
        "Donations are made through the PayPal service, to donations@example.org. If you have "
        "problems with the PayPal service, please write to help@example.org.");
    QPointer<MyController> self(this);
    presenter_.beginSheet(mainWindow_, sheet, [self](int answer) {
        if (self) {
            self->donatewareAlertSheetDidEnd(answer);
        }
    });
    preferences_.setObject(PlistValue(now), keys::lastDonatewareAdvertisementDate);
}

void MyController::donatewareAlertSheetDidEnd(int returnCode) {
    switch (returnCode) {
        case Presenter::kDefaultButton:
            presenter_.openUrl(kDonationPage);
            break;
        case Presenter::kOtherButton:
            presenter_.openUrl(kDonationMail);
            break;
        case Presenter::kAlternateButton:
            SystemLog::log("User don't care about quellbox donation");
            break;
        default:
            break;
    }
}

// ---- settings and the quit sequence ---------------------------------------------------------

bool MyController::saveParameter() { return preferences_.saveLocalPref(); }

bool MyController::smthingHasChanged() const {
    return preferences_.dictionaryRepresentation() != beginPrefDict;
}

bool MyController::windowShouldClose() {
    terminate();
    return false;
}

void MyController::terminate() {
    // One quit at a time: a second request while the question is open or the rules are
    // being removed is ignored.
    if (quitState_ != QuitState::Running) {
        return;
    }
    if (applicationShouldTerminate() == TerminateReply::Now) {
        quitNow();
    }
}

MyController::TerminateReply MyController::applicationShouldTerminate() {
    if (smthingHasChanged()) {
        quitState_ = QuitState::Asking;
        Presenter::Sheet sheet;
        sheet.title = localized("Do you want to save the parameters before quitting ?");
        sheet.defaultButton = localized("Save Parameters");
        sheet.alternateButton = localized("Cancel");
        sheet.otherButton = localized("Don't Save");
        sheet.message =
            localized("If you don't save your parameters, you'll need to re-set them next time.");
        QPointer<MyController> self(this);
        presenter_.beginSheet(mainWindow_, sheet, [self](int answer) {
            if (self) {
                self->didEndShouldQuit(answer);
            }
        });
        return TerminateReply::Later;
    }
    properlyDeleteRulesBeforeQuit();
    return TerminateReply::Now;
}

void MyController::didEndShouldQuit(int returnCode) {
    switch (returnCode) {
        case Presenter::kDefaultButton:
            if (!saveParameter()) {
                // Quitting now would lose the changes the user asked to keep.
                presenter_.runAlert(
                    localized("Error : Quellbox can't save its parameters"),
                    localized(
                        "Please check that the settings folder is writable, then quit again."),
                    "OK");
                replyToApplicationShouldTerminate(false);
                return;
            }
            properlyDeleteRulesBeforeQuit();
            replyToApplicationShouldTerminate(true);
            break;
        case Presenter::kAlternateButton:
            replyToApplicationShouldTerminate(false);
            break;
        case Presenter::kOtherButton:
            properlyDeleteRulesBeforeQuit();
            replyToApplicationShouldTerminate(true);
            break;
        default:
            break;
    }
}

void MyController::replyToApplicationShouldTerminate(bool shouldTerminate) {
    if (shouldTerminate) {
        quitNow();
    } else {
        quitState_ = QuitState::Running;
    }
}

void MyController::terminateWithoutQuestion() {
    if (quitState_ == QuitState::WindingDown || quitState_ == QuitState::Done) {
        return;
    }
    properlyDeleteRulesBeforeQuit();
    quitNow();
}

void MyController::quitNow() {
    quitState_ = QuitState::Done;
    if (quitApplication_) {
        quitApplication_();
    }
}

void MyController::properlyDeleteRulesBeforeQuit() {
    quitState_ = QuitState::WindingDown;
    DATARate_ = preferences_.floatForKey(keys::DATARate);
    if (windingDown_) {
        windingDown_();
    }
    if (myThroughputLimiter != nullptr) {
        SavedServices::windDown(*myThroughputLimiter, preferences_, servicesArray_, sleep_);
    }
    QSettings frames(frameSettingsPath_, QSettings::IniFormat);
    frames.setValue(kFrameName, mainWindow_.saveGeometry());
    frames.sync();
    if (frames.status() != QSettings::NoError) {
        SystemLog::logf("can't save the frame of the main window in %s",
                        frameSettingsPath_.toLocal8Bit().constData());
    }
}

bool MyController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &mainWindow_ && event->type() == QEvent::Close) {
        windowShouldClose();
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

// ---- the services table: data source and delegate ------------------------------------------

int MyController::columnWithIdentifier(const QString& identifier) {
    return ServicesTableModel::columnWithIdentifier(identifier);
}

int MyController::numberOfRowsInTableView() const {
    return static_cast<int>(servicesArray_.size());
}

QVariant MyController::objectValueForTableColumn(const QString& identifier, int row) const {
    if (row < 0 || row >= numberOfRowsInTableView()) {
        return {};
    }
    const Service& service = *servicesArray_[static_cast<std::size_t>(row)];
    if (identifier == "Ul") {
        return service.uploadIsCapped();
    }
    if (identifier == "Dl") {
        return service.downloadIsCapped();
    }
    if (identifier == "Service") {
        return QString::fromStdString(service.name());
    }
    if (identifier == "Port") {
        return static_cast<int>(service.servicePort());
    }
    SystemLog::log("error in MyController, column header identifier not recognized :(");
    return {};
}

bool MyController::otherRowHasName(const Service& service, const std::string& name) const {
    return std::any_of(servicesArray_.begin(), servicesArray_.end(), [&](const auto& other) {
        return other.get() != &service && other->name() == name;
    });
}

bool MyController::otherRowHasPort(const Service& service, int port) const {
    return std::any_of(servicesArray_.begin(), servicesArray_.end(), [&](const auto& other) {
        return other.get() != &service && other->servicePort() == port;
    });
}

void MyController::setObjectValue(const QVariant& value, const QString& identifier, int row) {
    canSelectAnotherRow_ = true;
    if (row < 0 || row >= numberOfRowsInTableView()) {
        return;
    }
    Service& service = *servicesArray_[static_cast<std::size_t>(row)];
    if (identifier == "Service") {
        lastSelectedColumn_ = columnWithIdentifier("Service");
        const std::string name = value.toString().toStdString();
        if (otherRowHasName(service, name)) {
            refuse("Service", row, true);
            return;
        }
        service.setName(name);
        // The row's stored name is replaced when it has one, else appended (a new row's
        // first name); deciding by the default name would misplace a row called "Service".
        setStoredEntry(keys::servicesNameArray, row, PlistValue(name));
        if (service.servicePort() <= 0) {
            canSelectAnotherRow_ = false;
            lastSelectedColumn_ = columnWithIdentifier("Port");
            selectRowAlone(row);
            editColumn(columnWithIdentifier("Port"), row);
            return;
        }
        if (otherRowHasPort(service, service.servicePort())) {
            refuse("Port", row, true);
        }
        return;
    }
    if (identifier == "Port") {
        lastSelectedColumn_ = columnWithIdentifier("Port");
        const int port = integerValue(value);
        if (port <= 0 || otherRowHasPort(service, port)) {
            refuse("Port", row, true);
            return;
        }
        service.setServicePort(port);
        setStoredEntry(keys::servicesPortArray, row, PlistValue(port));
        if (otherRowHasName(service, service.name())) {
            canSelectAnotherRow_ = false;
            lastSelectedColumn_ = columnWithIdentifier("Service");
            selectRowAlone(row);
            editColumn(columnWithIdentifier("Service"), row);
        }
        return;
    }
    if (identifier == "Ul" || identifier == "Dl") {
        return;
    }
    SystemLog::log("error : column in portTableView not recognized !");
}

bool MyController::shouldEditTableColumn(const QString& identifier, int row) const {
    if (row < 0 || row >= numberOfRowsInTableView()) {
        return false;
    }
    const Service& service = *servicesArray_[static_cast<std::size_t>(row)];
    if (identifier == "Service" || identifier == "Port") {
        return !service.uploadIsCapped() && !service.downloadIsCapped();
    }
    return true;
}

TableDataSource::CellLook MyController::willDisplayCell(const QString& identifier, int) const {
    CellLook look;
    const bool textColumn = identifier != "Ul" && identifier != "Dl";
    if (!portTableView->isEnabled()) {
        look.enabled = false;
        look.editable = !textColumn;
        look.disabledTextColor = textColumn;
    }
    return look;
}

bool MyController::selectionShouldChangeInTableView() {
    if (!canSelectAnotherRow_) {
        presenter_.beep();
        editColumn(lastSelectedColumn_, selectedRow());
        return false;
    }
    return true;
}

bool MyController::shouldSelectRow(int) const { return portTableView->isEnabled(); }

// ---- editing helpers ------------------------------------------------------------------------

void MyController::refuse(const QString& identifier, int row, bool beep) {
    canSelectAnotherRow_ = false;
    if (beep) {
        presenter_.beep();
    }
    selectRowAlone(row);
    editColumn(columnWithIdentifier(identifier), row);
}

void MyController::selectRowAlone(int row) { selectionModel_->selectRowByProgram(row); }

void MyController::editColumn(int column, int row) {
    // Editing starts once the event in progress is over: a refusal arrives while the cell's
    // editor is still being closed.
    QPointer<MyController> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, column, row] {
            if (!self || row < 0 || row >= self->numberOfRowsInTableView()) {
                return;
            }
            const QModelIndex index = self->tableModel_->index(row, column);
            self->selectionModel_->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
            self->portTableView->edit(index);
            for (auto* editor : self->portTableView->viewport()->findChildren<QLineEdit*>()) {
                editor->selectAll();
            }
        },
        Qt::QueuedConnection);
}

void MyController::reloadData() {
    if (tableModel_) {
        tableModel_->reloadData();
    }
}

int MyController::selectedRow() const {
    const QModelIndexList rows = selectionModel_->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

// ---- the stored lists -----------------------------------------------------------------------

PlistValue::Array MyController::storedList(const char* key) const {
    const auto value = preferences_.objectForKey(key);
    return value && value->isArray() ? value->asArray() : PlistValue::Array{};
}

void MyController::storeList(const char* key, PlistValue::Array list) {
    preferences_.removeObjectForKey(key);
    preferences_.setObject(PlistValue(std::move(list)), key);
}

void MyController::setStoredEntry(const char* key, int row, PlistValue value) {
    PlistValue::Array list = storedList(key);
    const auto index = static_cast<std::size_t>(row);
    if (index < list.size()) {
        list[index] = std::move(value);
    } else {
        // A list shorter than the table: missing cap flags count as capped (as at start-up);
        // names and ports are only ever short by the new row's own entry.
        if (std::string(key) == keys::activatedULServices) {
            list.resize(index, PlistValue(true));
        }
        list.push_back(std::move(value));
    }
    storeList(key, std::move(list));
}

void MyController::removeStoredEntry(const char* key, int row) {
    PlistValue::Array list = storedList(key);
    const auto index = static_cast<std::size_t>(row);
    if (index >= list.size()) {
        return;
    }
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
    storeList(key, std::move(list));
}

void MyController::removePortFrom(std::vector<int>& ports, int port) {
    if (auto found = std::find(ports.begin(), ports.end(), port); found != ports.end()) {
        ports.erase(found);
    }
}

// ---- rows and capping -----------------------------------------------------------------------

void MyController::addPort() {
    auto service = std::make_shared<Service>(localized("Service"), 0);
    if (std::any_of(servicesArray_.begin(), servicesArray_.end(),
                    [&](const auto& other) { return other->isEqual(*service); })) {
        presenter_.beep();
        return;
    }
    servicesArray_.push_back(service);
    const int row = numberOfRowsInTableView() - 1;
    setStoredEntry(keys::activatedULServices, row, PlistValue(false));
    reloadData();
    selectRowAlone(row);
    editColumn(columnWithIdentifier("Service"), row);
}

void MyController::removePort() {
    const int row = selectedRow();
    if (row < 0 || row >= numberOfRowsInTableView()) {
        return;
    }
    const auto service = servicesArray_[static_cast<std::size_t>(row)];
    const int port = service->servicePort();
    // The download capping goes first, so that the engine holds no acknowledgements back
    // for a port that is no longer listed.
    if (service->downloadIsCapped()) {
        if (myThroughputLimiter->removeDLService(service) < 0) {
            return;
        }
        service->setDownloadIsCapped(false);
        removePortFrom(downloadCappedServicesPort_, port);
    }
    if (service->uploadIsCapped()) {
        if (myThroughputLimiter->removeULService(service) < 0) {
            return;
        }
        service->setUploadIsCapped(false);
        removePortFrom(uploadCappedServicesPort_, port);
    }
    removeStoredEntry(keys::activatedULServices, row);
    // A new row has no stored port; a name it stored is the last entry and goes with it.
    removeStoredEntry(keys::servicesNameArray, row);
    if (port != 0) {
        removeStoredEntry(keys::servicesPortArray, row);
    }
    servicesArray_.erase(servicesArray_.begin() + row);
    // The row whose edit was refused (always the selected one) is gone.
    canSelectAnotherRow_ = true;
    reloadData();
}

bool MyController::toggleUlService(int clickedRow) {
    if (clickedRow < 0 || clickedRow >= numberOfRowsInTableView()) {
        return false;
    }
    const auto service = servicesArray_[static_cast<std::size_t>(clickedRow)];
    const int port = service->servicePort();
    if (service->uploadIsCapped()) {
        if (myThroughputLimiter->removeULService(service) < 0) {
            return false;
        }
        if (service->downloadIsCapped()) {
            toggleDlService(clickedRow);
            reloadData();
        }
        service->setUploadIsCapped(false);
        setStoredEntry(keys::activatedULServices, clickedRow, PlistValue(false));
        removePortFrom(uploadCappedServicesPort_, port);
        return true;
    }
    if (!mayCapPort(port)) {
        return false;
    }
    if (myThroughputLimiter->addULService(service) < 0) {
        return false;
    }
    service->setUploadIsCapped(true);
    setStoredEntry(keys::activatedULServices, clickedRow, PlistValue(true));
    uploadCappedServicesPort_.push_back(port);
    return true;
}

// Port 0 is a row not yet given its port; while a row is being edited nothing else may be
// capped, and the editor is put back in front of the user.
bool MyController::mayCapPort(int port) {
    if (port <= 0) {
        return false;
    }
    if (!canSelectAnotherRow_) {
        presenter_.beep();
        editColumn(lastSelectedColumn_, selectedRow());
        return false;
    }
    return true;
}

bool MyController::toggleDlService(int clickedRow) {
    if (clickedRow < 0 || clickedRow >= numberOfRowsInTableView()) {
        return false;
    }
    const auto service = servicesArray_[static_cast<std::size_t>(clickedRow)];
    const int port = service->servicePort();
    if (service->downloadIsCapped()) {
        if (myThroughputLimiter->removeDLService(service) < 0) {
            return false;
        }
        service->setDownloadIsCapped(false);
        removePortFrom(downloadCappedServicesPort_, port);
        return true;
    }
    if (!mayCapPort(port)) {
        return false;
    }
    if (myThroughputLimiter->addDLService(service) < 0) {
        return false;
    }
    if (!service->uploadIsCapped()) {
        toggleUlService(clickedRow);
        reloadData();
    }
    service->setDownloadIsCapped(true);
    downloadCappedServicesPort_.push_back(port);
    return true;
}

// ---- cap switches ---------------------------------------------------------------------------

void MyController::capUL() {
    const bool switchingOff = sliderUL->isEnabled();
    if (switchingOff) {
        portTableView->setEnabled(false);
        selectionModel_->selectRowByProgram(-1);
        DATARate_ = -1.0F;
    } else {
        portTableView->setEnabled(true);
        DATARate_ = static_cast<float>(sliderUL->floatValue());
    }
    for (QWidget* control : std::initializer_list<QWidget*>{sliderUL, rangeULmin, rangeULmax,
                                                            ULRangePopUp, uploadRateTF}) {
        control->setEnabled(!switchingOff);
    }
    myThroughputLimiter->setDATARate(DATARate_);
    reloadData();
}

void MyController::capDL() {
    if (sliderDL->isEnabled()) {
        for (QWidget* control : std::initializer_list<QWidget*>{sliderDL, rangeDLmin, rangeDLmax,
                                                                DLRangePopUp, downloadRateTF}) {
            control->setEnabled(false);
        }
        ACKPause_ = 0.0F;
    } else {
        for (QWidget* control : std::initializer_list<QWidget*>{sliderDL, rangeDLmin, rangeDLmax}) {
            control->setEnabled(true);
        }
        ACKPause_ = static_cast<float>(sliderDL->floatValue());
    }
    myThroughputLimiter->setACKPause(ACKPause_);
}

// ---- help and the web -----------------------------------------------------------------------

void MyController::openHelp() {
    if (!IsHelpLoaded_) {
        QFile help(kHelpResource);
        if (help.open(QIODevice::ReadOnly)) {
            helpTextView->setHtml(QString::fromUtf8(help.readAll()));
            IsHelpLoaded_ = true;
        }
    }
    helpWindow->show();
    helpWindow->raise();
    helpWindow->activateWindow();
}

void MyController::openFAQ() { presenter_.openUrl(std::string(kMakerServer) + "/FAQ.html"); }

void MyController::openHomePage() { presenter_.openUrl(kMakerServer); }

// ---- alerts ---------------------------------------------------------------------------------

void MyController::noNetworkRouteFound() {
    presentAlert(
        localized("A Low Level Error Occured"),
        localized("No Network Route was found, please check you are connected to a Network !"),
        localized("Quit"), true);
}

void MyController::genericIpfwProblemError(const Notification& notification) {
    const auto field = [&](const char* key) {
        auto found = notification.userInfo.find(key);
        return found == notification.userInfo.end() ? std::string() : found->second.stringValue();
    };
    const auto quit = notification.userInfo.find("needToQuitAfterAlert");
    const bool needToQuit = quit != notification.userInfo.end() && quit->second.boolValue();
    presentAlert(LocalizedText::lookup(field("title")), LocalizedText::lookup(field("msg")),
                 needToQuit ? "Quit" : "OK", needToQuit);
}

void MyController::presentAlert(const std::string& title, const std::string& message,
                                const std::string& button, bool quitAfterwards) {
    presenter_.runAlert(title, message, button);
    if (quitAfterwards) {
        terminate();
    }
}

// ---- gauges ---------------------------------------------------------------------------------

void MyController::refreshView() { emit refreshViewRequested(); }

void MyController::dataReceived(double bytes) { dataPacketGauge->setDoubleValue(bytes); }

void MyController::queueSizeChanged(double packets) { queueSizeGauge->setDoubleValue(packets); }

void MyController::ackReceived(double bytes) { ackPacketGauge->setDoubleValue(bytes); }

}  // namespace quellbox
