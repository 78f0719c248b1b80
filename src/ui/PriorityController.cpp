#include "ui/PriorityController.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>

#include "platform/LocalizedText.h"
#include "prioritymode/PriorityModeControls.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui/MainInterface.h"
#include "ui/PlistTableModel.h"
#include "ui/Presenter.h"
#include "ui/RateGraph.h"
#include "ui_MainWindow.h"
#include "ui_PriorityDrawer.h"

namespace quellbox {

namespace {

constexpr int kLowestPriority = PriorityModeControls::kLowestPriority;
constexpr int kHighestPriority = PriorityModeControls::kHighestPriority;

std::string localized(const char* english) { return LocalizedText::lookup(english); }

std::vector<PlistTableModel::Column> drawerColumns() {
    const QString titles[] = {QObject::tr("Address"),  QObject::tr("Screen Name"),
                              QObject::tr("Login"),    QObject::tr("Service"),
                              QObject::tr("Priority"), QObject::tr("Average KB/s"),
                              QObject::tr("Now KB/s")};
    std::vector<PlistTableModel::Column> columns;
    for (std::size_t i = 0; i < std::size(PriorityController::kColumns); ++i) {
        columns.push_back({PriorityController::kColumns[i], titles[i]});
    }
    return columns;
}

// The cell of a drawer column (PriorityController::kColumns).
std::optional<PlistValue> cellValue(const ClientSnapshot::Row& client,
                                    const std::string& identifier) {
    if (identifier == "ipAdress") {
        return PlistValue(client.address);
    }
    if (identifier == "screenName") {
        return PlistValue(client.screenName);
    }
    if (identifier == "login") {
        return PlistValue(client.login);
    }
    if (identifier == "usedService") {
        return PlistValue(client.service);
    }
    if (identifier == "priority") {
        return PlistValue(static_cast<std::int64_t>(client.priority));
    }
    if (identifier == "avRate") {
        return PlistValue(client.averageRate);
    }
    if (identifier == "instantRate") {
        return PlistValue(client.instantRate);
    }
    return std::nullopt;
}

}  // namespace

PriorityController::PriorityController(Collaborators collaborators)
    : interface_(collaborators.interface),
      preferences_(collaborators.preferences),
      presenter_(collaborators.presenter),
      refreshInterval_(collaborators.refreshInterval),
      ipmode(collaborators.ipmode),
      tableModel_(std::make_unique<PlistTableModel>(drawerColumns())) {
    Ui::QuellboxPriorityDrawer& drawer = interface_.drawer();
    setDefaultButton = drawer.setDefaultButton;
    priorityMoreButton = drawer.priorityMoreButton;
    priorityLessButton = drawer.priorityLessButton;
    drawerTable = drawer.drawerTable;
    rateGraph = drawer.rateGraph;
    modeButton = interface_.main().priorityModeButton;
    priorityDrawer = interface_.main().priorityDrawer;

    drawerTable->setModel(tableModel_.get());
    drawerTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    drawerTable->horizontalHeader()->setStretchLastSection(true);
    drawerTable->verticalHeader()->hide();
    modeButton->setCheckable(true);

    // The interface's connections, made before the start-up as a loaded interface has them.
    connect(modeButton, &QPushButton::clicked, this, [this] { toggleDrawer(); });
    connect(priorityLessButton, &QPushButton::clicked, this, [this] { priorityLess(); });
    connect(priorityMoreButton, &QPushButton::clicked, this, [this] { priorityMore(); });
    connect(setDefaultButton, &QPushButton::clicked, this, [this] { setDefault(); });
    connect(drawerTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { tableViewSelectionDidChange(); });
    connect(priorityDrawer, &SlidingDrawer::stateChanged, this, [this](SlidingDrawer::State state) {
        modeButton->setChecked(state == SlidingDrawer::State::Opening ||
                               state == SlidingDrawer::State::Open);
    });
}

PriorityController::~PriorityController() { drawerTable->setModel(nullptr); }

void PriorityController::awakeFromNib() {
    userInterfaceTimer_.reset();
    tableViewSelectionDidChange();
}

SlidingDrawer::State PriorityController::drawerState() const { return priorityDrawer->state(); }

// ---- opening and closing --------------------------------------------------------------------

void PriorityController::toggleDrawer() {
    switch (priorityDrawer->state()) {
        case SlidingDrawer::State::Closed:
            openDrawer();
            break;
        case SlidingDrawer::State::Open:
            closeDrawer();
            break;
        case SlidingDrawer::State::Opening:
        case SlidingDrawer::State::Closing:
            break;
    }
    // The button's own toggling follows the drawer, not the click.
    const SlidingDrawer::State state = priorityDrawer->state();
    modeButton->setChecked(state == SlidingDrawer::State::Opening ||
                           state == SlidingDrawer::State::Open);
}

void PriorityController::openDrawer() {
    const std::string logPath =
        preferences_.stringForKey(keys::logPath).value_or(PlistValue()).stringValue();
    if (preferences_.boolForKey(keys::firstLaunch) && logPath.empty()) {
        // Shown without waiting for the answer: the drawer opens behind it.
        presenter_.beginSheet(
            interface_.mainWindow(),
            Presenter::Sheet{
                localized("Informations About Quellbox"), "OK", "", "",
                localized(
                    "It is the First time you run Quellbox in Priority Mode.\n"
                    "If you are using a Carracho/Hotline Server, you can use a file created by "
                    "your Server to identify users by their name !\n\n"
                    "If you want to use this feature, you should set the path to this file "
                    "first by opening Quellbox Preferences in the Application Menu !")},
            [](int) {});
        preferences_.setBool(false, keys::firstLaunch);
    }
    std::error_code error;
    if (!logPath.empty() && !std::filesystem::exists(logPath, error)) {
        presenter_.runAlert(
            localized("The path to the server log 'Downloads' file is not valid !"),
            localized("If you are using a server, you should define a valid path to the server "
                      "'Downloads' file in order to display user name in Priority Mode.\n"
                      "Priority Mode will nevertheless works with generic names."),
            "OK");
    }
    ipmode.activate(true);
    tableModel_->setSource(PlistTableModel::Source{
        [this] { return static_cast<int>(clients_.rows.size()); },
        [this](const std::string& identifier, int row) -> std::optional<PlistValue> {
            if (row < 0 || row >= static_cast<int>(clients_.rows.size())) {
                return std::nullopt;
            }
            return cellValue(clients_.rows[static_cast<std::size_t>(row)], identifier);
        },
        {},
        {},
        {}});
    reloadData();
    priorityDrawer->open();
    userInterfaceTimer_ = std::make_unique<QTimer>();
    connect(userInterfaceTimer_.get(), &QTimer::timeout, this, [this] { getUserRateValues(); });
    userInterfaceTimer_->start(refreshInterval_);
    getUserRateValues();
}

void PriorityController::closeDrawer() {
    ipmode.activate(false);
    userInterfaceTimer_.reset();
    priorityDrawer->close();
}

// ---- priorities -----------------------------------------------------------------------------

const ClientSnapshot::Row* PriorityController::selectedClient() const {
    const QModelIndexList rows = drawerTable->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return nullptr;
    }
    const auto row = static_cast<std::size_t>(rows.first().row());
    return row < clients_.rows.size() ? &clients_.rows[row] : nullptr;
}

void PriorityController::changeSelectedPriority(int step) {
    const ClientSnapshot::Row* client = selectedClient();
    if (client == nullptr) {
        return;
    }
    const int priority = client->priority;
    if ((step < 0 && priority <= kLowestPriority) || (step > 0 && priority >= kHighestPriority)) {
        return;
    }
    ipmode.setClientPriority(client->ip, priority + step);
    reloadData();
}

void PriorityController::priorityLess() { changeSelectedPriority(-1); }

void PriorityController::priorityMore() { changeSelectedPriority(+1); }

void PriorityController::setDefault() {
    const ClientSnapshot::Row* client = selectedClient();
    if (client != nullptr && ipmode.makeDefaultForLogin(client->ip)) {
        emit defaultPrioritiesChanged();
    }
}

void PriorityController::tableViewSelectionDidChange() {
    const ClientSnapshot::Row* client = selectedClient();
    // Beyond a selection, a button is enabled only when it can change the priority.
    const int priority = client != nullptr ? client->priority : 0;
    priorityLessButton->setEnabled(client != nullptr && priority > kLowestPriority);
    priorityMoreButton->setEnabled(client != nullptr && priority < kHighestPriority);
    setDefaultButton->setEnabled(client != nullptr);
    showSelectedClientInGraph();
}

// ---- refreshing -----------------------------------------------------------------------------

void PriorityController::getUserRateValues() {
    ClientSnapshot snapshot = ipmode.clientSnapshot();
    if (snapshot.rows.empty()) {
        return;
    }
    sampleRates(snapshot);
    show(std::move(snapshot));
}

void PriorityController::refreshView() { reloadData(); }

void PriorityController::reloadData() { show(ipmode.clientSnapshot()); }

void PriorityController::show(ClientSnapshot snapshot) {
    clients_ = std::move(snapshot);
    tableModel_->reloadData();
    // The selected row may now show another client, or one whose priority changed.
    tableViewSelectionDidChange();
}

void PriorityController::sampleRates(const ClientSnapshot& snapshot) {
    std::map<std::uint32_t, float> rates;
    for (const ClientSnapshot::Row& client : snapshot.rows) {
        rates[client.ip] = client.sampledRate;
    }
    rateGraph->addSamples(rates);
}

void PriorityController::showSelectedClientInGraph() {
    if (const ClientSnapshot::Row* client = selectedClient()) {
        rateGraph->showClient(client->ip);
    } else {
        rateGraph->showNoClient();
    }
}

}  // namespace quellbox
