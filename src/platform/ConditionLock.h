#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quellbox {

// A lock that carries an integer condition: it can be taken unconditionally, or only once
// its condition has a given value (sleeping until then), and is released with a new
// condition. Satisfies BasicLockable so std::lock_guard works with lock()/unlock().
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
    // Releases the lock and sets its condition, waking threads that wait for it.
    void unlockWithCondition(int condition);
    // The current condition (a snapshot; the lock need not be held).
    int condition() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    int condition_;
};

}  // namespace quellbox
