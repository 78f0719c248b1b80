#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ThroughputLimiter.h"

namespace quellbox {

// What one scrape of the metrics endpoint shows, and its text in Prometheus' format.
struct MetricsExposition {
    // A client of Priority Mode's active table.
    struct Client {
        std::string address;
        std::string login;
        std::int32_t priority = 0;
        std::uint64_t sentBytes = 0;  // DATA bytes paced to it since its record was made
    };

    ThroughputLimiter::Counters counters;
    std::int32_t queuePackets = 0;
    float rateCap = 0.0F;   // KiB/s; 0 or less: not paced
    float ackPause = 0.0F;  // microseconds
    bool priorityMode = false;
    std::vector<Client> clients;

    // The families quellbox_* (README, "Metrics"); byte rates in bytes per second and the
    // pause in seconds, as Prometheus' base units are.
    std::string text() const;
};

}  // namespace quellbox
