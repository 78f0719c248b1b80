#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "ui/Presenter.h"

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

}  // namespace quellbox::testing
