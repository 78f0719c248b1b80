#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/TrafficRates.h"

namespace quellbox {

// One second of a headless run, as the status line and the JSON statistics show it.
struct HeadlessStats {
    struct Client {
        std::string address;
        std::string login;
        std::string name;
        std::string kind;  // "download", "upload", "outgoing" or "client"
        int port = 0;
        std::uint64_t wireBytes = 0;       // bytes the client received on the wire in the second
        std::uint64_t deliveredBytes = 0;  // data that reached its receiver in the second
        std::optional<int> priority;       // in Priority Mode, when the client has a record
    };

    double time = 0.0;  // seconds since the start
    std::string backend;
    float rateCap = 0.0F;                      // KiB/s; 0 or less: not paced
    float ackPause = 0.0F;                     // microseconds
    std::optional<float> downloadRateCap;      // KiB/s, in the download rate mode
    std::optional<std::uint64_t> uploadBytes;  // bytes the machine sent in the second
    // The capped services' paced upload, their unpaced acknowledgements and their download
    // over the last second; nothing before the second tick.
    std::optional<TrafficRates::Rates> rates;
    std::int32_t lastAckBytes = 0;
    std::int32_t lastDataBytes = 0;
    std::int32_t queuePackets = 0;
    bool standBy = false;
    bool priorityMode = false;
    std::uint64_t packetsRead = 0;  // since the start
    std::uint64_t packetsWrittenBack = 0;
    std::uint64_t dataBytes = 0;         // DATA bytes written back (paced), since the start
    std::uint64_t unpacedDataBytes = 0;  // data written back unpaced (SYN/PSH), since the start
    std::uint64_t ackBytes = 0;          // acknowledgements written back, since the start
    std::vector<Client> clients;

    // One line for a terminal, e.g.
    // "  12 s  cap 100.0 KiB/s  upload 99.8 KiB/s paced  acks 3.1 KiB/s  wire 103.0 KiB/s
    //  queue 14  | Alice 50.1  Bob 49.7 KiB/s".
    std::string statusLine() const;
    // One JSON object on one line (documented in the README).
    std::string json() const;
};

}  // namespace quellbox
