#include "platform/AdaptiveMutex.h"

#include <cstdlib>

#include "platform/SystemLog.h"

namespace quellbox {

namespace {
// A mutex that cannot be made or taken leaves the engine's data unguarded: stop at once.
void check(int result, const char* what) {
    if (result != 0) {
        SystemLog::logf("%s failed with error %d", what, result);
        std::abort();
    }
}
}  // namespace

AdaptiveMutex::AdaptiveMutex() {
    pthread_mutexattr_t attributes;
    check(pthread_mutexattr_init(&attributes), "pthread_mutexattr_init");
    check(pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP),
          "pthread_mutexattr_settype");
    check(pthread_mutex_init(&mutex_, &attributes), "pthread_mutex_init");
    pthread_mutexattr_destroy(&attributes);
}

AdaptiveMutex::~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }

void AdaptiveMutex::lock() { check(pthread_mutex_lock(&mutex_), "pthread_mutex_lock"); }

void AdaptiveMutex::unlock() { check(pthread_mutex_unlock(&mutex_), "pthread_mutex_unlock"); }

}  // namespace quellbox
