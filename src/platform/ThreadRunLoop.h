#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/RunLoop.h"

namespace quellbox {

// A run loop without a GUI toolkit: either on a thread of its own (start) or on the calling
// thread (run, as the headless front end does). It sleeps until the next timer is due or work
// arrives; it never polls.
class ThreadRunLoop : public RunLoop {
public:
    ThreadRunLoop() = default;
    ~ThreadRunLoop() override;
    ThreadRunLoop(const ThreadRunLoop&) = delete;
    ThreadRunLoop& operator=(const ThreadRunLoop&) = delete;

    // Runs the loop on a new thread until stop() or destruction.
    void start();
    // Runs the loop on the calling thread until stop().
    void run();
    // Makes run() return (and the own thread end) after the work item or timer in progress.
    void stop();

    TimerId scheduleRepeatingTimer(Interval interval, std::function<void()> fire) override;
    void invalidateTimer(TimerId timer) override;
    void performOnMainThread(std::function<void()> work, bool waitUntilDone) override;
    bool isMainThread() const override;

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::duration interval;
        Clock::time_point due;
        std::shared_ptr<std::function<void()>> fire;
    };

    void loop();
    // Runs one due item with the lock released; false when nothing was due.
    bool runOneDueItem(std::unique_lock<std::mutex>& guard);
    Clock::time_point nextDeadline() const;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    std::map<TimerId, Timer> timers_;
    TimerId nextTimer_ = 1;
    bool stopping_ = false;
    bool running_ = false;
    std::thread::id loopThread_;
    std::thread ownThread_;
};

}  // namespace quellbox
