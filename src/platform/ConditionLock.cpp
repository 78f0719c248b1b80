#include "platform/ConditionLock.h"

namespace quellbox {

ConditionLock::ConditionLock(int condition) : condition_(condition) {}

void ConditionLock::lock() { mutex_.lock(); }

void ConditionLock::lockWhenCondition(int condition) {
    std::unique_lock guard(mutex_);
    ++waiters_;
    changed_.wait(guard, [&] { return condition_.load(std::memory_order_relaxed) == condition; });
    --waiters_;
    guard.release();  // the caller holds the lock until it unlocks
}

bool ConditionLock::lockWhenCondition(int condition,
                                      std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(mutex_);
    ++waiters_;
    const bool met = changed_.wait_until(
        guard, deadline, [&] { return condition_.load(std::memory_order_relaxed) == condition; });
    --waiters_;
    if (!met) {
        return false;
    }
    guard.release();
    return true;
}

void ConditionLock::unlock() { mutex_.unlock(); }

void ConditionLock::unlockWithCondition(int condition) {
    const bool wake = waiters_ > 0 && condition_.load(std::memory_order_relaxed) != condition;
    condition_.store(condition, std::memory_order_release);
    mutex_.unlock();
    if (wake) {
        changed_.notify_all();
    }
}

}  // namespace quellbox
