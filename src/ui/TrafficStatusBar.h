#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "control/TrafficRates.h"

class QLabel;
class QMainWindow;

namespace quellbox {

// The main window's status bar: the capped services' paced upload, their download and the
// acknowledgements sent unpaced, as rates over the last second of the engine's byte totals
// (one update per gauge tick), and the backend in use.
class TrafficStatusBar : public QObject {
    Q_OBJECT

public:
    using Now = std::function<TrafficRates::Clock::time_point()>;

    // `now` is the steady clock, or a test's.
    TrafficStatusBar(QMainWindow& window, const QString& backendName, Now now);

    // The rates now, once two ticks have been seen.
    std::optional<TrafficRates::Rates> addTotals(const TrafficTotals& totals);
    // The texts shown, for the tray's tooltip and for tests.
    QString uploadText() const;
    QString ackText() const;
    QString downloadText() const;
    QStringList texts() const;

private:
    void show(const TrafficRates::Rates& rates);

    Now now_;
    TrafficRates rates_;
    QLabel* upload_;
    QLabel* acks_;
    QLabel* download_;
    QLabel* backend_;
};

}  // namespace quellbox
