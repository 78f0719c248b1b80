#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/ConditionLock.h"

namespace quellbox {
namespace {

using namespace std::chrono_literals;

TEST(ConditionLock, WaiterSleepsUntilTheConditionIsSet) {
    ConditionLock lock(2);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        lock.lockWhenCondition(1);
        acquired = true;
        lock.unlockWithCondition(2);
    });
    // Changing the lock with another condition must not wake the waiter into the lock.
    lock.lock();
    lock.unlockWithCondition(2);
    EXPECT_FALSE(acquired.load());
    lock.lock();
    lock.unlockWithCondition(1);
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(lock.condition(), 2);
}

TEST(ConditionLock, TimedWaitGivesUpAtTheDeadline) {
    ConditionLock lock(2);
    EXPECT_FALSE(lock.lockWhenCondition(1, std::chrono::steady_clock::now() + 20ms));
    EXPECT_TRUE(lock.lockWhenCondition(2, std::chrono::steady_clock::now() + 20ms));
    lock.unlock();
}

TEST(ConditionLock, ExcludesConcurrentHolders) {
    ConditionLock lock;
    int counter = 0;  // guarded by lock; a data race here is what TSan would report
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                std::lock_guard guard(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 40000);
}

TEST(ConditionLock, HandOverBetweenProducerAndConsumerLosesNothing) {
    ConditionLock lock(2);  // 1: an item is waiting, 2: the slot is empty
    int slot = 0;
    long long sum = 0;
    std::thread consumer([&] {
        for (int i = 1; i <= 2000; ++i) {
            lock.lockWhenCondition(1);
            sum += slot;
            lock.unlockWithCondition(2);
        }
    });
    for (int i = 1; i <= 2000; ++i) {
        lock.lockWhenCondition(2);
        slot = i;
        lock.unlockWithCondition(1);
    }
    consumer.join();
    EXPECT_EQ(sum, 2000LL * 2001 / 2);
}

}  // namespace
}  // namespace quellbox
