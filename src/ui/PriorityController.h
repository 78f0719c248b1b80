#pragma once

#include <QObject>
#include <chrono>
#include <memory>

#include "prioritymode/ClientSnapshot.h"
#include "ui/SlidingDrawer.h"

class QPushButton;
class QTableView;
class QTimer;

namespace quellbox {

class MainInterface;
class PlistTableModel;
class Preferences;
class Presenter;
class PriorityModeControls;
class RateGraph;

// The priority drawer: the panel that slides out of the main window's side and lists the
// active clients of Priority Mode with their priorities and upload rates. Priority Mode is
// on exactly while the drawer is open (or opening). The user raises or lowers the selected
// client's priority and stores it as the default of the client's login; a refresh timer
// shows the rates as they change, and a small graph the selected client's recent rate. The
// table shows the last snapshot of the clients, taken at each reload.
class PriorityController : public QObject {
    Q_OBJECT

public:
    struct Collaborators {
        MainInterface& interface;
        PriorityModeControls& ipmode;
        Preferences& preferences;
        Presenter& presenter;
        // The period of the refresh timer while the drawer is open.
        std::chrono::milliseconds refreshInterval = std::chrono::milliseconds(2000);
    };

    // The drawer table's columns: address, names, service, priority and the two rates.
    static constexpr const char* kColumns[] = {
        "ipAdress", "screenName", "login", "usedService", "priority", "avRate", "instantRate"};

    explicit PriorityController(Collaborators collaborators);
    ~PriorityController() override;

    void awakeFromNib();

    // The Priority Mode button: opens the drawer (switching Priority Mode on) or closes it
    // (switching it off); nothing while it slides.
    void toggleDrawer();
    // The three buttons, acting on the selected row.
    void priorityLess();
    void priorityMore();
    void setDefault();
    // Enables the buttons that can act on the selected row.
    void tableViewSelectionDidChange();
    // The refresh timer: reloads the table unless it is empty.
    void getUserRateValues();
    // The engine's refresh: reloads the table.
    void refreshView();

    SlidingDrawer::State drawerState() const;
    // The running refresh timer, or null while the drawer is closed.
    const QTimer* userInterfaceTimer() const { return userInterfaceTimer_.get(); }
    PlistTableModel& tableModel() { return *tableModel_; }

signals:
    // Make Default for Login stored a priority in the default priorities file.
    void defaultPrioritiesChanged();

private:
    // The selected row of the last snapshot, or null.
    const ClientSnapshot::Row* selectedClient() const;
    void changeSelectedPriority(int step);
    // Takes a new snapshot and shows it.
    void reloadData();
    void show(ClientSnapshot snapshot);
    void sampleRates(const ClientSnapshot& snapshot);
    void showSelectedClientInGraph();
    void openDrawer();
    void closeDrawer();

    MainInterface& interface_;
    Preferences& preferences_;
    Presenter& presenter_;
    std::chrono::milliseconds refreshInterval_;

    // Outlets.
    QPushButton* setDefaultButton;
    QPushButton* priorityMoreButton;
    QPushButton* priorityLessButton;
    QTableView* drawerTable;
    QPushButton* modeButton;
    SlidingDrawer* priorityDrawer;
    RateGraph* rateGraph;

    PriorityModeControls& ipmode;
    ClientSnapshot clients_;
    std::unique_ptr<QTimer> userInterfaceTimer_;
    std::unique_ptr<PlistTableModel> tableModel_;
};

}  // namespace quellbox
