#include "platform/ThreadRunLoop.h"

#include <future>
#include <memory>

namespace quellbox {

ThreadRunLoop::~ThreadRunLoop() {
    stop();
    if (ownThread_.joinable()) {
        ownThread_.join();
    }
}

void ThreadRunLoop::start() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = false;
        running_ = true;
    }
    ownThread_ = std::thread([this] { loop(); });
}

void ThreadRunLoop::run() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = false;
        running_ = true;
    }
    loop();
}

void ThreadRunLoop::stop() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void ThreadRunLoop::loop() {
    std::unique_lock guard(mutex_);
    loopThread_ = std::this_thread::get_id();
    while (!stopping_) {
        if (runOneDueItem(guard)) {
            continue;
        }
        if (timers_.empty()) {
            wake_.wait(guard, [this] { return stopping_ || !work_.empty() || !timers_.empty(); });
        } else {
            wake_.wait_until(guard, nextDeadline());
        }
    }
    running_ = false;
    // Work that waits for its completion must not wait for ever once the loop is gone.
    std::deque<std::function<void()>> abandoned;
    abandoned.swap(work_);
    guard.unlock();
    abandoned.clear();
}

bool ThreadRunLoop::runOneDueItem(std::unique_lock<std::mutex>& guard) {
    if (!work_.empty()) {
        auto work = std::move(work_.front());
        work_.pop_front();
        guard.unlock();
        work();
        guard.lock();
        return true;
    }
    const auto now = Clock::now();
    for (auto& [id, timer] : timers_) {
        if (timer.due <= now) {
            // The next due time advances from the previous one, so ticks do not drift.
            timer.due += timer.interval;
            if (timer.due <= now) {
                timer.due = now + timer.interval;
            }
            auto fire = timer.fire;
            guard.unlock();
            (*fire)();
            guard.lock();
            return true;
        }
    }
    return false;
}

ThreadRunLoop::Clock::time_point ThreadRunLoop::nextDeadline() const {
    auto earliest = Clock::time_point::max();
    for (const auto& [id, timer] : timers_) {
        earliest = std::min(earliest, timer.due);
    }
    return earliest;
}

RunLoop::TimerId ThreadRunLoop::scheduleRepeatingTimer(Interval interval,
                                                       std::function<void()> fire) {
    const auto period = std::chrono::duration_cast<Clock::duration>(interval);
    TimerId id = 0;
    {
        std::lock_guard guard(mutex_);
        id = nextTimer_++;
        timers_[id] = Timer{period, Clock::now() + period,
                            std::make_shared<std::function<void()>>(std::move(fire))};
    }
    wake_.notify_all();
    return id;
}

void ThreadRunLoop::invalidateTimer(TimerId timer) {
    std::lock_guard guard(mutex_);
    timers_.erase(timer);
}

void ThreadRunLoop::performOnMainThread(std::function<void()> work, bool waitUntilDone) {
    if (waitUntilDone && isMainThread()) {
        work();
        return;
    }
    if (!waitUntilDone) {
        {
            std::lock_guard guard(mutex_);
            work_.push_back(std::move(work));
        }
        wake_.notify_all();
        return;
    }
    // The promise is kept alive by the queued item; if the loop stops before running it,
    // the item is destroyed and the waiting caller sees a broken promise instead of hanging.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    {
        std::lock_guard guard(mutex_);
        if (stopping_ || !running_) {
            return;
        }
        work_.push_back([work = std::move(work), done = std::move(done)]() mutable {
            work();
            done->set_value();
        });
    }
    wake_.notify_all();
    try {
        finished.get();
    } catch (const std::future_error&) {
        // The loop stopped first; the work did not run.
    }
}

bool ThreadRunLoop::isMainThread() const {
    std::lock_guard guard(mutex_);
    return running_ && loopThread_ == std::this_thread::get_id();
}

}  // namespace quellbox
