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

// A Presenter that shows nothing and records what it was asked; sheets wait for the test.
class TestPresenter : public Presenter {
public:
    struct Alert {
        std::string title;
        std::string button;
    };

    void beginSheet(QWidget&, const Sheet& sheet, std::function<void(int)> answered) override {
        sheets.push_back(sheet);
        pending.push_back(std::move(answered));
    }
    void runAlert(const std::string& title, const std::string&,
                  const std::string& button) override {
        alerts.push_back({title, button});
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

QApplication& application();

// Runs the GUI event loop until `done` holds; false after ten seconds.
bool processEventsUntil(const std::function<bool()>& done);
void processPendingEvents();
// A table's shown text, its selected row or -1, and a row's selection with its events handled.
QString cellText(const PlistTableModel& model, int row, const char* identifier);
int selectedRow(const QAbstractItemView& view);
void selectRow(QTableView& view, int row);

// The main window with its controllers over an engine on a simulated network of its own, with
// settings in a temporary folder that a test may prepare before start(). It includes the forms.
class WindowFixture : public ::testing::Test {
protected:
    // The engine in this process, or, given a scenario, the engine program over it.
    explicit WindowFixture(const char* childScenario = nullptr);
    ~WindowFixture() override;

    // The controllers' start-up, as the application runs it.
    void start();

    Preferences& preferences() { return *preferences_; }
    ThroughputLimiter& engine();
    EngineProxy& proxy() { return *proxy_; }
    // The rules in the simulated firewall, whichever engine made them.
    std::size_t firewallRules() const;
    MyController& controller() { return *controller_; }
    PriorityController& priority() { return *priority_; }
    PrefController& prefs() { return *prefs_; }
    IPMode& ipmode() { return *ipmode_; }
    // The preferences window's; Priority Mode reads the same file into its own.
    defaultPriorityParser& priorities() { return *priorities_; }
    Ui::QuellboxMainWindow& ui() { return interface_->main(); }
    Ui::QuellboxPriorityDrawer& drawer() { return interface_->drawer(); }
    Ui::QuellboxPreferencesWindow& prefWindow() { return interface_->preferences(); }
    MainInterface& interface() { return *interface_; }
    TestPresenter& presenter() { return presenter_; }
    NotificationCenter& notifications() { return notifications_; }
    const TempDir& folder() const { return folder_; }
    std::filesystem::path prioritiesFile() const {
        return folder_ / "Quellbox Default Priorities.txt";
    }

    // The stored list under `key`.
    std::vector<std::string> storedTexts(const char* key) { return stored<std::string>(key); }
    std::vector<long long> storedNumbers(const char* key) { return stored<long long>(key); }
    void storeServices(const std::vector<std::string>& names, const std::vector<int>& ports,
                       const std::vector<bool>& activated);
    QModelIndex cell(int row, const char* identifier);
    // Clicks the check box of a "Ul" or "Dl" cell as a user does.
    void clickCheckBox(int row, const char* identifier);
    // Chooses a menu's item as a user does.
    static void choose(QComboBox* menu, int item) {
        menu->setCurrentIndex(item);
        emit menu->activated(item);
    }

    std::vector<std::chrono::milliseconds> windDownPauses;
    int quits = 0;
    // The path the file chooser answers; nothing for a cancel.
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
