#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QModelIndex>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"
#include "engine/RandomSource.h"
#include "engine/ThroughputLimiter.h"
#include "firewall/SimKernel.h"
#include "platform/AtomicFile.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/LocalPriorityMode.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui/DownloadRateMode.h"
#include "ui/EngineProxy.h"
#include "ui/MainInterface.h"
#include "ui/MyController.h"
#include "ui/PlistTableModel.h"
#include "ui/PrefController.h"
#include "ui/Presenter.h"
#include "ui/PriorityController.h"
#include "ui/QtRunLoop.h"
#include "ui/RangeController.h"
#include "ui/ServicesTableModel.h"
#include "ui_CustomRangeDialog.h"
#include "ui_HelpWindow.h"
#include "ui_MainWindow.h"
#include "ui_PreferencesWindow.h"
#include "ui_PriorityDrawer.h"

namespace quellbox::testing {

// A Presenter that shows nothing: it records the sheets (which wait until the test answers
// them), the alerts and alert panels (answered at once, panels with panelAnswer), the beeps
// and the URLs, and runs modal dialogs through a function the test gives.
class TestPresenter : public Presenter {
public:
    struct Alert {
        std::string title;
        std::string message;
        std::string button;
    };

    void beginSheet(QWidget&, const Sheet& sheet, std::function<void(int)> answered) override {
        sheets.push_back(sheet);
        pending.push_back(std::move(answered));
    }
    void runAlert(const std::string& title, const std::string& message,
                  const std::string& button) override {
        alerts.push_back({title, message, button});
    }
    int runAlertPanel(const Sheet& panel) override {
        panels.push_back(panel);
        return panelAnswer;
    }
    int runModal(QDialog& dialog) override {
        ++modalRuns;
        return modalRun ? modalRun(dialog) : 0;
    }
    void beep() override { ++beeps; }
    void openUrl(const std::string& url) override { urls.push_back(url); }

    // Answers the last sheet shown.
    void answerLastSheet(int answer) {
        auto answered = std::move(pending.back());
        pending.pop_back();
        answered(answer);
    }

    std::vector<Sheet> sheets;
    std::vector<std::function<void(int)>> pending;
    std::vector<Alert> alerts;
    std::vector<Sheet> panels;
    int panelAnswer = kAlternateButton;
    std::vector<std::string> urls;
    std::function<int(QDialog&)> modalRun;
    int modalRuns = 0;
    int beeps = 0;
};

// The application's QApplication for the whole test program (offscreen platform).
QApplication& application();

// Runs the GUI event loop until `done` holds; false after ten seconds.
bool processEventsUntil(const std::function<bool()>& done);
// Runs the events already queued (the table's deferred editing, queued gauge calls).
void processPendingEvents();
// A table's shown text, and its selected row or -1.
QString cellText(const PlistTableModel& model, int row, const char* identifier);
int selectedRow(const QAbstractItemView& view);

// The main window with its controllers over an engine on a simulated network of its own, with
// settings in a temporary folder and a presenter that never blocks. The settings can be
// prepared before start() runs the controllers' start-up. It includes what the window tests use.
class WindowFixture : public ::testing::Test {
protected:
    // The engine the controllers drive: one in this process, or the engine program as the
    // application runs it, over the simulated firewall of this fixture and `childScenario`.
    enum class EngineChoice { InProcess, Child };
    static constexpr const char* childScenario =
        "service 6700 Server\n"
        "client 192.0.2.10 download port=6700 login=alice name=\"Alice\" demand=200\n";

    explicit WindowFixture(EngineChoice choice = EngineChoice::InProcess);
    ~WindowFixture() override;

    // The start-up of the controllers, as the application runs it.
    void start();
    // Makes the simulated firewall refuse to add the rule of that number.
    void refuseRule(int number);

    Preferences& preferences() { return *preferences_; }
    ThroughputLimiter& engine();
    // The child engine's proxy (EngineChoice::Child only).
    EngineProxy& proxy() { return *proxy_; }
    // The rules in the simulated firewall, whichever engine put them there.
    std::size_t firewallRules() const;
    MyController& controller() { return *controller_; }
    PriorityController& priority() { return *priority_; }
    PrefController& prefs() { return *prefs_; }
    IPMode& ipmode() { return *ipmode_; }
    // The preferences window's default priorities; Priority Mode's are
    // ipmode().defaultPriorityParser(), over the same file.
    defaultPriorityParser& priorities() { return *priorities_; }
    Ui::QuellboxMainWindow& ui() { return interface_->main(); }
    Ui::QuellboxPriorityDrawer& drawer() { return interface_->drawer(); }
    Ui::QuellboxPreferencesWindow& prefWindow() { return interface_->preferences(); }
    Ui::QuellboxCustomRangeDialog& dialog() { return interface_->customRange(); }
    MainInterface& interface() { return *interface_; }
    TestPresenter& presenter() { return presenter_; }
    NotificationCenter& notifications() { return notifications_; }
    const TempDir& folder() const { return folder_; }
    std::filesystem::path prioritiesFile() const {
        return folder_ / "Quellbox Default Priorities.txt";
    }

    // The stored list under `key`, as texts or numbers.
    std::vector<std::string> storedTexts(const char* key) { return stored<std::string>(key); }
    std::vector<long long> storedNumbers(const char* key) { return stored<long long>(key); }
    void storeServices(const std::vector<std::string>& names, const std::vector<int>& ports,
                       const std::vector<bool>& activated);
    // The services table's cell.
    QModelIndex cell(int row, const char* identifier);
    // Clicks the check box of a "Ul" or "Dl" cell as a user does.
    void clickCheckBox(int row, const char* identifier);
    // The line editor open in the table, or null.
    QLineEdit* openEditor();

    std::vector<std::chrono::milliseconds> windDownPauses;
    int quits = 0;
    // The preferences window's file chooser: the path to answer, or nothing for a cancel.
    std::optional<std::string> fileChoice;
    int fileChoices = 0;

private:
    template <typename Item>
    std::vector<Item> stored(const char* key) {
        std::vector<Item> items;
        if (auto list = preferences_->objectForKey(key); list && list->isArray()) {
            for (const auto& item : list->asArray()) {
                if constexpr (std::is_same_v<Item, std::string>) {
                    items.push_back(item.stringValue());
                } else {
                    items.push_back(item.integerValue());
                }
            }
        }
        return items;
    }

    TempDir folder_;
    std::unique_ptr<SimKernel> kernel_;
    QtRunLoop runLoop_;
    std::shared_ptr<UserDefaults> store_;
    std::unique_ptr<Preferences> preferences_;
    std::shared_ptr<defaultPriorityParser> priorities_;
    std::unique_ptr<IPMode> ipmode_;
    std::unique_ptr<LocalPriorityMode> priorityMode_;
    NotificationCenter notifications_;
    RandomSource random_{1};
    std::unique_ptr<ThroughputLimiter> engine_;
    std::unique_ptr<EngineProxy> proxy_;
    TestPresenter presenter_;
    std::unique_ptr<MainInterface> interface_;
    std::unique_ptr<MyController> controller_;
    std::unique_ptr<RangeController> range_;
    std::unique_ptr<DownloadRateMode> downloadRate_;
    std::unique_ptr<PriorityController> priority_;
    std::unique_ptr<PrefController> prefs_;
};

}  // namespace quellbox::testing
