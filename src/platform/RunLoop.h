#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quellbox {

// The main run loop as the engine and the controllers see it: repeating timers and work
// handed to the main thread. Every operation is safe to call from any thread.
class RunLoop {
public:
    using TimerId = std::uint64_t;
    using Interval = std::chrono::duration<double>;

    virtual ~RunLoop() = default;

    // Calls `fire` on the main thread every `interval`, first after one interval.
    virtual TimerId scheduleRepeatingTimer(Interval interval, std::function<void()> fire) = 0;
    // Stops a timer; it does not fire again once this returns (unless called from another
    // thread while the timer is firing, in which case that one call completes).
    virtual void invalidateTimer(TimerId timer) = 0;
    // Runs `work` on the main thread. With `waitUntilDone`, returns after it ran; called on
    // the main thread itself, the work then runs at once.
    virtual void performOnMainThread(std::function<void()> work, bool waitUntilDone) = 0;
    // True on the thread that runs this loop.
    virtual bool isMainThread() const = 0;
};

}  // namespace quellbox
