#include "WindowFixture.h"

#include <QStyle>
#include <QStyleOptionViewItem>
#include <cstdlib>

#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "firewall/SimFirewallState.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox::testing {

QApplication& application() {
    // Windows are never shown on a real display, whatever the environment has.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "ui_window_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: among the static objects at exit it would outlive Qt's own.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

bool processEventsUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }

void processPendingEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
    }
}

QString cellText(const PlistTableModel& model, int row, const char* identifier) {
    return model.data(model.index(row, model.columnWithIdentifier(identifier)), Qt::DisplayRole)
        .toString();
}

int selectedRow(const QAbstractItemView& view) {
    const auto rows = view.selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void selectRow(QTableView& view, int row) {
    view.selectRow(row);
    processPendingEvents();
}

WindowFixture::WindowFixture(const char* childScenario) {
    application();
    const auto state = folder_ / "sim.state";
    // The simulator's firewall program finds the same state through this variable.
    setenv("QUELLBOX_SIM_STATE", state.c_str(), 1);
    kernel_ = std::make_unique<SimKernel>(SimKernel::Options{state});
    store_ = std::make_shared<UserDefaults>(folder_ / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store_);
    preferences_ = std::make_unique<Preferences>(store_);
    AtomicFile::write(folder_ / "Downloads", "");
    preferences_->setObject(PlistValue((folder_ / "Downloads").string()), keys::logPath);
    // No donation reminder unless a test asks for one.
    preferences_->setObject(PlistValue(std::chrono::system_clock::now() - std::chrono::hours(24)),
                            keys::lastDonatewareAdvertisementDate);
    priorities_ = std::make_shared<defaultPriorityParser>(*preferences_, notifications_);
    // Priority Mode reads the file into its own, as the engine process does.
    ipmode_ = std::make_unique<IPMode>(*preferences_, [this] {
        return std::make_shared<defaultPriorityParser>(*preferences_, notifications_);
    });
    priorityMode_ = std::make_unique<LocalPriorityMode>(*ipmode_);
    PriorityModeControls* priorityControls = priorityMode_.get();
    std::function<EngineControls&()> engineMaker = [this]() -> EngineControls& { return engine(); };
    if (childScenario != nullptr) {
        // The child keeps its settings and the simulator's log in the fixture's folder too.
        setenv("HOME", folder_.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", folder_.path().c_str(), 1);
        AtomicFile::write(folder_ / "child.scenario", childScenario);
        std::string error;
        proxy_ = EngineProxy::start(
            {{QUELLBOX_ENGINE_BINARY,
              {"--backend", "sim", "--scenario", (folder_ / "child.scenario").string()}},
             *preferences_,
             notifications_,
             presenter_},
            error);
        EXPECT_TRUE(proxy_) << error;
        priorityControls = &proxy_->client();
        engineMaker = [this]() -> EngineControls& { return proxy_->client(); };
    }
    interface_ = std::make_unique<MainInterface>();
    controller_ = std::make_unique<MyController>(MyController::Collaborators{
        *interface_,
        engineMaker,
        *preferences_,
        notifications_,
        runLoop_,
        presenter_,
        QString::fromStdString((folder_ / "windows.ini").string()),
        [this] { ++quits; },
        [this](std::chrono::milliseconds pause) { windDownPauses.push_back(pause); },
        nullptr,
        {}});
    range_ = std::make_unique<RangeController>(
        RangeController::Collaborators{*interface_, engineMaker, *preferences_, presenter_});
    downloadRate_ = std::make_unique<DownloadRateMode>(
        DownloadRateMode::Collaborators{*interface_, engineMaker, *preferences_, presenter_});
    priority_ = std::make_unique<PriorityController>(PriorityController::Collaborators{
        *interface_, *priorityControls, *preferences_, presenter_});
    QObject::connect(controller_.get(), &MyController::refreshViewRequested, priority_.get(),
                     [this] { priority_->refreshView(); });
    prefs_ = std::make_unique<PrefController>(PrefController::Collaborators{
        *interface_, engineMaker, *preferences_, priorities_,
        [priorityControls] { priorityControls->reloadDefaultPriorities(); }, presenter_,
        [this](QWidget&) {
            ++fileChoices;
            return fileChoice;
        }});
    QObject::connect(priority_.get(), &PriorityController::defaultPrioritiesChanged, prefs_.get(),
                     [this] { prefs_->refreshDefaultPrio(); });
    ui().priorityDrawer->setSlideDuration(20);
}

WindowFixture::~WindowFixture() {
    prefs_.reset();
    priority_.reset();
    downloadRate_.reset();
    range_.reset();
    controller_.reset();
    interface_.reset();
    engine_.reset();
    proxy_.reset();
    processPendingEvents();
}

ThroughputLimiter& WindowFixture::engine() {
    if (!engine_) {
        const auto backend = PacketBackend::simulated(*kernel_);
        engine_ = std::make_unique<ThroughputLimiter>(ThroughputLimiter::Collaborators{
            backend.makeDivertSocket(), std::make_unique<IpfwRule>(backend.programs()), runLoop_,
            *preferences_, *ipmode_, notifications_, random_});
        EXPECT_TRUE(engine_->waitUntilStarted(std::chrono::seconds(10)));
    }
    return *engine_;
}

std::size_t WindowFixture::firewallRules() const {
    const auto state = SimFirewallState::load(kernel_->statePath());
    return state ? state->rules.size() : 0;
}

void WindowFixture::start() {
    controller_->awakeFromNib();
    priority_->awakeFromNib();
    range_->awakeFromNib();
    downloadRate_->awakeFromNib();
    prefs_->awakeFromNib();
    processPendingEvents();
}

void WindowFixture::storeServices(const std::vector<std::string>& names,
                                  const std::vector<int>& ports,
                                  const std::vector<bool>& activated) {
    const auto store = [this](const auto& items, const char* key) {
        PlistValue::Array list(items.begin(), items.end());
        preferences_->setObject(PlistValue(list), key);
    };
    store(names, keys::servicesNameArray);
    store(ports, keys::servicesPortArray);
    store(activated, keys::activatedULServices);
}

QModelIndex WindowFixture::cell(int row, const char* identifier) {
    return controller_->tableModel().index(row,
                                           ServicesTableModel::columnWithIdentifier(identifier));
}

void WindowFixture::clickCheckBox(int row, const char* identifier) {
    QTableView* view = ui().portTableView;
    const QModelIndex index = cell(row, identifier);
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect indicator =
        view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, indicator.center());
    processPendingEvents();
}

}  // namespace quellbox::testing
