#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/ThreadRunLoop.h"

namespace quellbox {
namespace {

using namespace std::chrono_literals;

// Counts events and lets a test sleep until enough have happened, without polling.
class EventCounter {
public:
    void add() {
        {
            std::lock_guard guard(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }
    bool waitFor(int wanted) {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, 10s, [&] { return count_ >= wanted; });
    }
    int count() {
        std::lock_guard guard(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

TEST(ThreadRunLoop, WorkRunsOnTheLoopThreadInOrder) {
    ThreadRunLoop loop;
    loop.start();
    std::vector<int> order;
    std::thread::id ranOn;
    for (int i = 0; i < 5; ++i) {
        loop.performOnMainThread([&order, i] { order.push_back(i); }, false);
    }
    loop.performOnMainThread([&] { ranOn = std::this_thread::get_id(); }, true);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(loop.isMainThread());
    bool innerWasMain = false;
    loop.performOnMainThread(
        [&] {
            // Waiting work scheduled from the loop's own thread runs at once, without deadlock.
            loop.performOnMainThread([&] { innerWasMain = loop.isMainThread(); }, true);
        },
        true);
    EXPECT_TRUE(innerWasMain);
}

TEST(ThreadRunLoop, RepeatingTimerFiresUntilInvalidatedFromAnyThread) {
    EventCounter ticks;  // outlives the loop, whose thread calls it
    ThreadRunLoop loop;
    loop.start();
    std::atomic<bool> onLoopThread{true};
    const auto timer = loop.scheduleRepeatingTimer(5ms, [&] {
        onLoopThread = onLoopThread && loop.isMainThread();
        ticks.add();
    });
    ASSERT_TRUE(ticks.waitFor(3));
    std::thread([&] { loop.invalidateTimer(timer); }).join();
    // After invalidation has returned and one round trip through the loop, no tick follows.
    loop.performOnMainThread([] {}, true);
    const int settled = ticks.count();
    std::this_thread::sleep_for(30ms);
    loop.performOnMainThread([] {}, true);
    EXPECT_EQ(ticks.count(), settled);
    EXPECT_TRUE(onLoopThread.load());
}

TEST(ThreadRunLoop, TimerMayInvalidateItselfAndScheduleAnother) {
    EventCounter second;  // outlives the loop, whose thread calls it
    ThreadRunLoop loop;
    loop.start();
    RunLoop::TimerId first = 0;
    std::promise<RunLoop::TimerId> firstId;
    auto firstReady = firstId.get_future().share();
    first = loop.scheduleRepeatingTimer(2ms, [&] {
        loop.invalidateTimer(firstReady.get());
        loop.scheduleRepeatingTimer(2ms, [&] { second.add(); });
    });
    firstId.set_value(first);
    EXPECT_TRUE(second.waitFor(2));
}

TEST(ThreadRunLoop, RunOnTheCallingThreadUntilStopped) {
    ThreadRunLoop loop;
    std::thread stopper([&] { loop.performOnMainThread([&] { loop.stop(); }, false); });
    loop.run();  // returns once the queued stop has run
    stopper.join();
    SUCCEED();
}

TEST(ThreadRunLoop, WaitingWorkDoesNotHangWhenTheLoopStops) {
    auto loop = std::make_unique<ThreadRunLoop>();
    loop->start();
    std::promise<void> blockerStarted;
    std::promise<void> release;
    auto releaseFuture = release.get_future();
    loop->performOnMainThread(
        [&] {
            blockerStarted.set_value();
            releaseFuture.wait();
            loop->stop();
        },
        false);
    blockerStarted.get_future().wait();
    std::atomic<bool> ran{false};
    auto waiter = std::async(std::launch::async,
                             [&] { loop->performOnMainThread([&] { ran = true; }, true); });
    // Give the waiter time to queue its work behind the blocker, then let the loop stop.
    std::this_thread::sleep_for(20ms);
    release.set_value();
    EXPECT_EQ(waiter.wait_for(10s), std::future_status::ready);
    loop.reset();
    EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace quellbox
