#pragma once

#include <pthread.h>

namespace quellbox {

// A mutex that spins a little before it sleeps (glibc's adaptive kind). For locks that two
// threads take hundreds of thousands of times a second for a few hundred nanoseconds each:
// there, sleeping in the kernel and being woken costs far more than the wait itself, the
// more so in a virtual machine. Meets BasicLockable, so std::lock_guard and
// std::unique_lock take it.
class AdaptiveMutex {
public:
    AdaptiveMutex();
    ~AdaptiveMutex();
    AdaptiveMutex(const AdaptiveMutex&) = delete;
    AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;

    void lock();
    void unlock();

private:
    pthread_mutex_t mutex_;
};

}  // namespace quellbox
