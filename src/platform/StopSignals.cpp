#include "platform/StopSignals.h"

#include <pthread.h>

#include <csignal>
#include <thread>

namespace quellbox {

namespace {
sigset_t stopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    return stops;
}
}  // namespace

void StopSignals::block() {
    const sigset_t stops = stopSignals();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

void StopSignals::watch(std::function<void()> stop) {
    std::thread([stop = std::move(stop)] {
        const sigset_t stops = stopSignals();
        int signal = 0;
        if (sigwait(&stops, &signal) == 0) {
            stop();
        }
    }).detach();
}

}  // namespace quellbox
