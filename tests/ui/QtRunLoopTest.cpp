#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <thread>

#include "ui/QtRunLoop.h"

namespace quellbox {
namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the GUI event loop until `done` holds, failing after ten seconds.
template <typename Predicate>
bool processEventsUntil(Predicate done) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > 10000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

TEST(QtRunLoop, TimerScheduledFromAnotherThreadFiresOnTheGuiThreadUntilInvalidated) {
    application();
    QtRunLoop loop;
    std::atomic<int> ticks{0};
    std::atomic<bool> allOnGuiThread{true};
    RunLoop::TimerId timer = 0;
    std::thread([&] {
        EXPECT_FALSE(loop.isMainThread());
        timer = loop.scheduleRepeatingTimer(std::chrono::milliseconds(5), [&] {
            allOnGuiThread = allOnGuiThread && loop.isMainThread();
            ++ticks;
        });
    }).join();
    ASSERT_TRUE(processEventsUntil([&] { return ticks >= 3; }));
    std::thread([&] { loop.invalidateTimer(timer); }).join();
    const int settled = ticks;
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 50) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(ticks.load(), settled);
    EXPECT_TRUE(allOnGuiThread.load());
}

TEST(QtRunLoop, WorkFromAWorkerWaitsForTheGuiThread) {
    application();
    QtRunLoop loop;
    std::atomic<bool> ran{false};
    std::atomic<bool> workerDone{false};
    bool ranOnGui = false;
    std::thread worker([&] {
        loop.performOnMainThread(
            [&] {
                ranOnGui = loop.isMainThread();
                ran = true;
            },
            true);
        // The waiting call returns only after the work ran.
        EXPECT_TRUE(ran.load());
        workerDone = true;
    });
    ASSERT_TRUE(processEventsUntil([&] { return workerDone.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnGui);
    bool inlineRan = false;
    loop.performOnMainThread([&] { inlineRan = true; }, true);
    EXPECT_TRUE(inlineRan) << "waiting work on the GUI thread itself runs at once";
}

}  // namespace
}  // namespace quellbox
