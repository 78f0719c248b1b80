#include "ui/QtRunLoop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <cmath>

namespace quellbox {

QtRunLoop::QtRunLoop(QObject* parent) : QObject(parent) {}

QtRunLoop::~QtRunLoop() {
    std::lock_guard guard(mutex_);
    live_.clear();
}

RunLoop::TimerId QtRunLoop::scheduleRepeatingTimer(Interval interval, std::function<void()> fire) {
    TimerId id = 0;
    {
        std::lock_guard guard(mutex_);
        id = nextTimer_++;
        live_.insert(id);
    }
    const int milliseconds = std::max(1, static_cast<int>(std::lround(interval.count() * 1000.0)));
    if (isMainThread()) {
        startTimer(id, milliseconds, std::move(fire));
    } else {
        QMetaObject::invokeMethod(
            this,
            [this, id, milliseconds, fire = std::move(fire)]() mutable {
                startTimer(id, milliseconds, std::move(fire));
            },
            Qt::QueuedConnection);
    }
    return id;
}

void QtRunLoop::startTimer(TimerId id, int milliseconds, std::function<void()> fire) {
    {
        std::lock_guard guard(mutex_);
        if (!live_.contains(id)) {
            return;  // invalidated before it could start
        }
    }
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(milliseconds);
    connect(timer, &QTimer::timeout, this,
            [this, id, fire = std::move(fire)] { fireTimer(id, fire); });
    timers_[id] = timer;
    timer->start();
}

void QtRunLoop::fireTimer(TimerId id, const std::function<void()>& fire) {
    {
        std::lock_guard guard(mutex_);
        if (!live_.contains(id)) {
            return;
        }
    }
    fire();
}

void QtRunLoop::invalidateTimer(TimerId timer) {
    {
        std::lock_guard guard(mutex_);
        live_.erase(timer);
    }
    auto release = [this, timer] {
        if (auto found = timers_.find(timer); found != timers_.end()) {
            found->second->stop();
            found->second->deleteLater();
            timers_.erase(found);
        }
    };
    if (isMainThread()) {
        release();
    } else {
        QMetaObject::invokeMethod(this, release, Qt::QueuedConnection);
    }
}

void QtRunLoop::performOnMainThread(std::function<void()> work, bool waitUntilDone) {
    if (waitUntilDone && isMainThread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(this, std::move(work),
                              waitUntilDone ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

bool QtRunLoop::isMainThread() const { return QThread::currentThread() == thread(); }

}  // namespace quellbox
