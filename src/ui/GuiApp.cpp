#include "ui/GuiApp.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "control/EngineClient.h"
#include "control/EngineProgram.h"
#include "engine/ScheduledRates.h"
#include "headless/HeadlessOptions.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/Preferences.h"
#include "simulation/SimScenario.h"
#include "ui/DownloadRateMode.h"
#include "ui/EngineProxy.h"
#include "ui/MainInterface.h"
#include "ui/MainTrafficGraph.h"
#include "ui/MyController.h"
#include "ui/PrefController.h"
#include "ui/PriorityController.h"
#include "ui/QtPresenter.h"
#include "ui/QtRunLoop.h"
#include "ui/RangeController.h"
#include "ui/ScheduleController.h"
#include "ui/ScheduleIndicator.h"
#include "ui/TrafficStatusBar.h"
#include "ui/TrayIcon.h"
#include "ui_MainWindow.h"
#include "ui_PreferencesWindow.h"

namespace quellbox {

namespace {

constexpr int kBadUsage = 2;

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

std::string backendDescription(const control::HelloReply& hello, const std::string& engineReason) {
    std::string text = "Backend: " + hello.backendName;
    if (hello.backendName == "sim") {
        text += " (simulated network: no real traffic is shaped)";
    } else if (hello.backendName == "nfqueue") {
        text += " (the kernel's packet queue: real traffic)";
    } else {
        text += " (divert socket: real traffic)";
    }
    for (const auto& reason : {engineReason, hello.fallbackReason}) {
        if (!reason.empty()) {
            text += "\n" + reason;
        }
    }
    return text;
}

// The engine's options: those of the window's command line that choose its network.
std::vector<std::string> engineArguments(const HeadlessOptions& options) {
    std::vector<std::string> arguments;
    if (!options.backend.empty()) {
        arguments.insert(arguments.end(), {"--backend", options.backend});
    }
    if (!options.scenario.empty()) {
        arguments.insert(arguments.end(), {"--scenario", options.scenario});
    }
    if (options.verbose) {
        arguments.emplace_back("--verbose");
    }
    return arguments;
}

// The services of the engine's simulated scenario, which the window caps for the run.
SimScenario scenarioOf(const control::HelloReply& hello) {
    SimScenario scenario;
    for (const auto& service : hello.scenarioServices) {
        scenario.services.push_back({service.port, service.name, service.downloadCapped});
    }
    return scenario;
}

// Delivers SIGINT and SIGTERM (blocked in every thread) on the GUI thread.
class StopSignalNotifier {
public:
    explicit StopSignalNotifier(std::function<void()> stop) {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        fd_ = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0) {
            SystemLog::reportError("Quellbox Error : signalfd");
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(
            notifier_.get(), &QSocketNotifier::activated, [this, stop = std::move(stop)] {
                signalfd_siginfo info{};
                if (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    stop();
                }
            });
    }
    ~StopSignalNotifier() {
        notifier_.reset();
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    StopSignalNotifier(const StopSignalNotifier&) = delete;
    StopSignalNotifier& operator=(const StopSignalNotifier&) = delete;

private:
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

bool GuiApp::displayAvailable() {
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
}

std::string GuiApp::usage() {
    return "Usage: quellbox [options]\n"
           "Opens the Quellbox window (without a display, runs as with --headless).\n"
           "\n"
           "  --backend sim|nfqueue|divert  packet backend (default: nfqueue when quellbox-engine\n"
           "                                holds CAP_NET_ADMIN, otherwise the simulated network)\n"
           "  --scenario FILE               simulated clients (default: the demo scenario)\n"
           "  --verbose                     also print diagnostics (otherwise in syslog only)\n"
           "  --help, --version             this text; the version\n";
}

int GuiApp::run(int& argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Quellbox");
    QApplication::setApplicationVersion(QUELLBOX_VERSION);
    // The icon installed with resources/quellbox.desktop (resources/quellbox.svg).
    QApplication::setWindowIcon(QIcon::fromTheme("quellbox"));
    // The main window's close button asks the controller; the application ends only when
    // the quit sequence is through.
    QApplication::setQuitOnLastWindowClosed(false);

    std::vector<std::string> arguments;
    for (const QString& argument : QApplication::arguments().mid(1)) {
        arguments.push_back(argument.toStdString());
    }
    std::string error;
    const auto options = HeadlessOptions::parse(arguments, error);
    if (!options) {
        std::cerr << "quellbox: " << error << "\n" << usage();
        return kBadUsage;
    }
    if (options->duration || options->rate || options->ackPause || options->priorityMode ||
        !options->statsJson.empty()) {
        std::cerr
            << "quellbox: --duration, --rate, --ack-pause, --priority-mode and --stats-json are "
               "options of --headless\n"
            << usage();
        return kBadUsage;
    }
    SystemLog::setEchoToStandardError(options->verbose);

    QtRunLoop runLoop;
    Preferences& preferences = Preferences::sharedInstance();
    std::string settingsProblem;
    if (auto problem = preferences.store().loadProblem()) {
        settingsProblem = *problem;
        std::cerr << "quellbox: " << settingsProblem << "\n";
    }
    QtPresenter presenter;
    std::string engineReason;
    auto proxy = EngineProxy::start(
        {{control::EngineProgram::locate(engineReason), engineArguments(*options)},
         preferences,
         NotificationCenter::defaultCenter(),
         presenter},
        error);
    if (!proxy) {
        std::cerr << "quellbox: " << error << "\n";
        QMessageBox::critical(nullptr, "Quellbox", QString::fromStdString(error));
        return 1;
    }
    const control::HelloReply& hello = proxy->client().hello();

    MainInterface interface;
    std::string description = backendDescription(hello, engineReason);
    if (!settingsProblem.empty()) {
        description += "\n" + settingsProblem;
    }
    interface.main().backendLabel->setText(QString::fromStdString(description));
    TrafficStatusBar statusBar(interface.mainWindow(), QString::fromStdString(hello.backendName),
                               [] { return TrafficRates::Clock::now(); });
    MainTrafficGraph trafficGraph(*interface.main().trafficGraph,
                                  [&client = proxy->client()] { return client.getDATARate(); });
    TrayIcon tray(TrayIcon::Collaborators{interface.mainWindow(), interface.main(),
                                          *interface.preferences().keepRunningInTrayButton,
                                          preferences, QSystemTrayIcon::isSystemTrayAvailable()});
    QObject::connect(proxy.get(), &EngineProxy::trafficArrived, &statusBar,
                     [&statusBar, &trafficGraph, &tray](const TrafficTotals& totals) {
                         if (const auto rates = statusBar.addTotals(totals)) {
                             trafficGraph.add(*rates);
                             tray.showRates(statusBar.texts());
                         }
                     });

    bool quitRequested = false;
    // The engine process, and Priority Mode in it, stand behind the proxy's client.
    control::EngineClient& client = proxy->client();
    // The window's rates reach the engine through the schedule, which replaces them while
    // one of its periods is on.
    ScheduledRates scheduledRates(client, RateSchedule::fromPreferences(preferences));
    const auto engine = [&scheduledRates]() -> EngineControls& { return scheduledRates; };
    PriorityModeControls& priorityMode = client;
    const auto defaultPrioritiesEdited = [&client] { client.reloadDefaultPriorities(); };
    const SimScenario scenario = scenarioOf(hello);
    MyController controller(MyController::Collaborators{
        interface, engine, preferences, NotificationCenter::defaultCenter(), runLoop, presenter,
        QString::fromStdString(
            (UserDefaults::defaultPath().parent_path() / "QuellboxWindows.ini").string()),
        [&quitRequested] {
            quitRequested = true;
            // exit, not quit: quit would first ask the windows to close, and the main
            // window answers that by asking the controller again.
            QCoreApplication::exit(0);
        },
        [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); },
        scenario.services.empty() ? nullptr : &scenario,
        [&scheduledRates] { scheduledRates.release(); }});
    RangeController range(
        RangeController::Collaborators{interface, engine, preferences, presenter});
    DownloadRateMode downloadRate(
        DownloadRateMode::Collaborators{interface, engine, preferences, presenter});
    PriorityController priority(
        PriorityController::Collaborators{interface, priorityMode, preferences, presenter});
    QObject::connect(&controller, &MyController::refreshViewRequested, &priority,
                     [&priority] { priority.refreshView(); });
    PrefController prefs(PrefController::Collaborators{interface,
                                                       engine,
                                                       preferences,
                                                       defaultPriorityParser::sharedInstance(),
                                                       defaultPrioritiesEdited,
                                                       presenter,
                                                       {}});
    ScheduleIndicator scheduleIndicator(*interface.main().mainLayout, 1, scheduledRates,
                                        RateSchedule::localNow);
    ScheduleController schedule(interface.preferences(), preferences,
                                [&scheduleIndicator](const RateSchedule& edited) {
                                    scheduleIndicator.setSchedule(edited);
                                });
    QObject::connect(&priority, &PriorityController::defaultPrioritiesChanged, &prefs,
                     [&prefs] { prefs.refreshDefaultPrio(); });
    StopSignalNotifier stopSignals([&controller] { controller.terminateWithoutQuestion(); });
    proxy->setQuit([&controller] { controller.terminate(); });

    controller.awakeFromNib();
    priority.awakeFromNib();
    range.awakeFromNib();
    downloadRate.awakeFromNib();
    prefs.awakeFromNib();
    tray.awakeFromNib();
    schedule.awakeFromNib();
    scheduleIndicator.refresh();
    // A quit asked during the start-up (an alert's "Quit") has already run its wind-down.
    if (!quitRequested) {
        QApplication::exec();
    }
    return 0;
}

}  // namespace quellbox
