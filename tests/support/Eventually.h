#pragma once

#include <chrono>
#include <thread>

namespace quellbox::testing {

// Waits up to ten seconds for a condition that no event announces, looking every
// millisecond; false if it never held.
template <typename Condition>
bool eventually(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quellbox::testing
