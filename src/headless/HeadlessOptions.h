#pragma once

#include <optional>
#include <string>
#include <vector>

#include "headless/MetricsAddress.h"

namespace quellbox {

// The command line of `quellbox --headless`.
struct HeadlessOptions {
    std::string backend;                // empty: the default backend for this process
    std::string scenario;               // simulated clients; empty: the demo scenario
    std::optional<double> duration;     // seconds; none: until SIGINT or SIGTERM
    std::optional<float> rate;          // KiB/s; none: the stored "DATARate"
    std::optional<float> ackPause;      // microseconds; none: no download pause
    std::optional<float> downloadRate;  // KiB/s: the download rate mode; none: off
    std::optional<int> maxQueueDelay;   // milliseconds, 0 off; none: the stored "maxQueueDelay"
    bool priorityMode = false;
    std::string statsJson;                  // one JSON object per second; empty: none
    std::optional<MetricsAddress> metrics;  // the metrics endpoint; none: not served
    bool verbose = false;                   // diagnostics on standard error too
    bool cleanup = false;                   // remove the rules a killed run left, then exit
    bool help = false;

    // Parses the arguments after the program name (which may include "--headless").
    // On error answers nothing and puts a one-line reason in `error`.
    static std::optional<HeadlessOptions> parse(const std::vector<std::string>& arguments,
                                                std::string& error);
    static std::string usage();
};

}  // namespace quellbox
