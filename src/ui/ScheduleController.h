#pragma once

#include <QObject>
#include <functional>

#include "settings/RateSchedule.h"

class QPushButton;
class QTableWidget;

namespace Ui {
class QuellboxPreferencesWindow;
}

namespace quellbox {

class Preferences;

// The preferences window's table of scheduled rates: one row per period with its name, day
// boxes, start and end times, upload rate and download cap (none, a rate or a pause). The
// editors only take values within the period's bounds, and the last ticked day of a row
// cannot be unticked, so every row is a valid period. Each edit stores the whole schedule in
// the settings and hands it on.
class ScheduleController : public QObject {
    Q_OBJECT

public:
    using Edited = std::function<void(const RateSchedule& schedule)>;

    ScheduleController(Ui::QuellboxPreferencesWindow& ui, Preferences& preferences, Edited edited);

    // Fills the table from the settings.
    void awakeFromNib();
    void addPeriod();
    void removePeriod();

    // The periods as the table shows them.
    RateSchedule tableSchedule() const;
    QTableWidget& table() const { return *scheduleTable; }

    // The table's columns.
    enum Column { Name, FirstDay, Start = FirstDay + 7, End, Upload, DownloadKind, DownloadValue };

private:
    void addRow(const SchedulePeriod& period);
    void dayToggled(int row, int column);
    void downloadKindChanged(int row);
    void store();
    int rowOf(const QWidget* editor, int column) const;

    Preferences& preferences_;
    Edited edited_;
    QTableWidget* scheduleTable;
    QPushButton* addPeriodButton;
    QPushButton* removePeriodButton;
    // True while the table is filled by the program, whose changes are not edits.
    bool filling_ = false;
};

}  // namespace quellbox
