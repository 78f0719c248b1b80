#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "control/TrafficRates.h"

namespace quellbox {

// The capped services' rates of the last ten minutes, one sample per gauge tick, oldest
// first. It is fed whether or not the window is shown, so a window brought back from the
// tray shows the minutes it was hidden.
class TrafficHistory {
public:
    // Ten minutes of the engine's 0.4 s gauge ticks.
    static constexpr std::size_t kSamples = 10 * 60 * 10 / 4;
    static constexpr int kMinutes = 10;

    void add(const TrafficRates::Rates& rates);
    std::vector<float> pacedUpload() const;
    std::vector<float> acks() const;
    std::vector<float> download() const;
    std::size_t size() const { return samples_.size(); }

private:
    std::deque<TrafficRates::Rates> samples_;
};

}  // namespace quellbox
