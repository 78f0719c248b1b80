#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellbox {

// The priority drawer's view of the active clients at one moment, in table order: what each
// row shows, and the rate of the last instant for the drawer's graph. Taken in the process
// that runs Priority Mode and handed to the window as a value.
struct ClientSnapshot {
    struct Row {
        std::uint32_t ip = 0;
        std::string address;     // "ipAdress"
        std::string screenName;  // "screenName"
        std::string login;       // "login"
        std::string service;     // "usedService"
        std::int32_t priority = 0;
        double averageRate = 0.0;  // "avRate", KiB/s
        double instantRate = 0.0;  // "instantRate", KiB/s
        // KiB/s since the last snapshot without restarting the rate windows, for the graph.
        float sampledRate = 0.0F;

        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows;

    bool operator==(const ClientSnapshot&) const = default;
};

}  // namespace quellbox
