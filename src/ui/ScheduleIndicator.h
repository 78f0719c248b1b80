#pragma once

#include <QObject>
#include <QTimer>

#include "settings/RateSchedule.h"

class QLabel;
class QVBoxLayout;

namespace quellbox {

class ScheduledRates;

// The main window's note of the scheduled period in force ("Schedule: Weeknights until
// 07:00 …"), hidden while none is. It puts the period in force into effect now and again at
// the next start or end of a period, by a timer set to that moment (at most a minute ahead,
// so that a changed clock or a wake from sleep is noticed soon).
class ScheduleIndicator : public QObject {
    Q_OBJECT

public:
    // Its label goes into `layout` at `position`.
    ScheduleIndicator(QVBoxLayout& layout, int position, ScheduledRates& rates,
                      RateSchedule::Clock clock);

    // Takes an edited schedule and applies it at once.
    void setSchedule(RateSchedule schedule);
    // Applies the period in force now, shows it and sets the timer.
    void refresh();
    const QLabel& label() const { return *label_; }

private:
    ScheduledRates& rates_;
    RateSchedule::Clock clock_;
    QLabel* label_;
    QTimer timer_;
};

}  // namespace quellbox
