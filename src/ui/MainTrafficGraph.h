#pragma once

#include <functional>

#include "control/TrafficRates.h"
#include "ui/TrafficHistory.h"

namespace quellbox {

class RateGraph;

// The main window's traffic graph: keeps the history of the capped services' rates (paced
// upload, download, acknowledgements) and plots it on the window's RateGraph with the upload
// cap drawn across.
class MainTrafficGraph {
public:
    // `cap` answers the upload rate handed to the engine (KiB/s; 0 or less: not capped).
    MainTrafficGraph(RateGraph& graph, std::function<float()> cap);

    void add(const TrafficRates::Rates& rates);
    const TrafficHistory& history() const { return history_; }

private:
    void replot();

    RateGraph& graph_;
    std::function<float()> cap_;
    TrafficHistory history_;
};

}  // namespace quellbox
