#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QWidget>

#include <memory>

namespace Ui {
class QuellboxMainWindow;
class QuellboxHelpWindow;
class QuellboxCustomRangeDialog;
}  // namespace Ui

namespace quellbox {

// The loaded interface: the main window, the help window and the custom range dialog, made
// from their Designer forms, hidden until shown. The controllers take their widgets from it;
// it owns the windows.
class MainInterface {
public:
    MainInterface();
    ~MainInterface();
    MainInterface(const MainInterface&) = delete;
    MainInterface& operator=(const MainInterface&) = delete;

    QMainWindow& mainWindow() { return mainWindow_; }
    Ui::QuellboxMainWindow& main() { return *main_; }
    QWidget& helpWindow() { return helpWindow_; }
    Ui::QuellboxHelpWindow& help() { return *help_; }
    QDialog& customRangeWindow() { return customRangeWindow_; }
    Ui::QuellboxCustomRangeDialog& customRange() { return *customRange_; }

private:
    QMainWindow mainWindow_;
    QWidget helpWindow_;
    QDialog customRangeWindow_;
    std::unique_ptr<Ui::QuellboxMainWindow> main_;
    std::unique_ptr<Ui::QuellboxHelpWindow> help_;
    std::unique_ptr<Ui::QuellboxCustomRangeDialog> customRange_;
};

}  // namespace quellbox
