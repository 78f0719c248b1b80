#pragma once

#include <stdlib.h>

#include <cstdint>
#include <mutex>

namespace quellbox {

// A pseudo-random generator with the sequence of the C library's random()/srandom(): uniform
// integers from 0 to 2^31 - 1, the same numbers random() gives after srandom() with the same
// seed. Unlike random() it is an object, so tests can give a queue a generator of their own
// with a fixed seed and replay its draws. Safe to use from several threads at once.
//
// The process-wide instance (shared()) starts with seed 1, as random() does; the application
// reseeds it once from the time of day (seedFromTimeOfDay) at start-up.
class RandomSource {
public:
    static constexpr int32_t maximum = 2147483647;  // 2^31 - 1, the largest value drawn

    explicit RandomSource(unsigned int seed = 1);
    RandomSource(const RandomSource&) = delete;
    RandomSource& operator=(const RandomSource&) = delete;

    // The process-wide generator.
    static RandomSource& shared();

    // Restarts the sequence as srandom(seed) does.
    void seed(unsigned int seed);
    // Reseeds from the current time of day (seconds mixed with microseconds).
    // Answers false, leaving the sequence unchanged, if the clock cannot be read.
    bool seedFromTimeOfDay();
    // The next number of the sequence, 0..maximum.
    int32_t next();

private:
    std::mutex mutex_;
    // The state of the additive feedback generator behind random(): 128 bytes is the size
    // random() itself uses, which is what makes the sequences identical.
    char state_[128];
    random_data data_;  // guarded by mutex_
};

}  // namespace quellbox
