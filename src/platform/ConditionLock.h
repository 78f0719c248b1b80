#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quellbox {

// A lock that carries an integer condition: it can be taken unconditionally, or only once
// its condition has a given value (sleeping until then), and is released with a new
// condition. Satisfies BasicLockable so std::lock_guard works with lock()/unlock().
//
// The lock is the mutex itself, held from lock() to unlock(); only a release that changes the
// condition while someone waits for a condition wakes anyone.
class ConditionLock {
public:
    explicit ConditionLock(int condition = 0);
    ConditionLock(const ConditionLock&) = delete;
    ConditionLock& operator=(const ConditionLock&) = delete;

    // Takes the lock whatever its condition.
    void lock();
    // Takes the lock once its condition equals `condition`; sleeps until then.
    void lockWhenCondition(int condition);
    // As lockWhenCondition, but gives up at `deadline`; true when the lock was taken.
    bool lockWhenCondition(int condition, std::chrono::steady_clock::time_point deadline);
    // Releases the lock, leaving its condition unchanged.
    void unlock();
    // Releases the lock and sets its condition, waking threads that wait for a condition.
    void unlockWithCondition(int condition);
    // The current condition (a snapshot; the lock need not be held).
    int condition() const { return condition_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiters_ = 0;             // guarded by mutex_: threads waiting for a condition
    std::atomic<int> condition_;  // written with mutex_ held
};

}  // namespace quellbox
