#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QWidget>
#include <memory>

namespace Ui {
class QuellboxMainWindow;
class QuellboxHelpWindow;
class QuellboxCustomRangeDialog;
class QuellboxPriorityDrawer;
class QuellboxPreferencesWindow;
}  // namespace Ui

namespace quellbox {

// The loaded interface: the main window with its priority drawer, the help window, the
// custom range dialog and the preferences window, made from their Designer forms, hidden
// until shown. The controllers take their widgets from it; it owns the windows.
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
    // The contents of the main window's drawer (Ui::QuellboxMainWindow::priorityDrawer).
    Ui::QuellboxPriorityDrawer& drawer() { return *drawer_; }
    QWidget& prefWindow() { return prefWindow_; }
    Ui::QuellboxPreferencesWindow& preferences() { return *preferences_; }

private:
    QMainWindow mainWindow_;
    QWidget helpWindow_;
    QDialog customRangeWindow_;
    QWidget prefWindow_;
    std::unique_ptr<Ui::QuellboxMainWindow> main_;
    std::unique_ptr<Ui::QuellboxHelpWindow> help_;
    std::unique_ptr<Ui::QuellboxCustomRangeDialog> customRange_;
    std::unique_ptr<Ui::QuellboxPriorityDrawer> drawer_;
    std::unique_ptr<Ui::QuellboxPreferencesWindow> preferences_;
};

}  // namespace quellbox
