#pragma once

#include <functional>

namespace quellbox {

// SIGINT and SIGTERM ask the programs to stop with their wind-down, never to end at once:
// they are blocked in every thread and taken by one thread that waits for them.
class StopSignals {
public:
    // Blocks both in the calling thread and so in every thread it starts; call first thing
    // in main, before any thread exists.
    static void block();
    // Calls `stop` (on a thread of its own) when the first of them arrives.
    static void watch(std::function<void()> stop);
};

}  // namespace quellbox
