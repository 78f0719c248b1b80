#pragma once

#include <QObject>
#include <map>
#include <mutex>
#include <set>

#include "platform/RunLoop.h"

class QTimer;

namespace quellbox {

// The run loop of the GUI: timers and work run on the thread of the Qt application object
// (the GUI thread). Timers may be scheduled and invalidated from any thread.
class QtRunLoop : public QObject, public RunLoop {
    Q_OBJECT

public:
    // Lives on (and serves) the thread that creates it, which must run a Qt event loop.
    explicit QtRunLoop(QObject* parent = nullptr);
    ~QtRunLoop() override;

    TimerId scheduleRepeatingTimer(Interval interval, std::function<void()> fire) override;
    void invalidateTimer(TimerId timer) override;
    void performOnMainThread(std::function<void()> work, bool waitUntilDone) override;
    bool isMainThread() const override;

private:
    void startTimer(TimerId id, int milliseconds, std::function<void()> fire);
    void fireTimer(TimerId id, const std::function<void()>& fire);

    std::mutex mutex_;
    TimerId nextTimer_ = 1;
    std::set<TimerId> live_;             // guarded by mutex_: scheduled and not invalidated
    std::map<TimerId, QTimer*> timers_;  // GUI thread only
};

}  // namespace quellbox
