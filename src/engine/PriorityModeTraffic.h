#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quellbox {

class IPMode;
class Packet;

// The engine's side of Priority Mode: finding or making the client record of each outgoing
// DATA packet's destination, counting the bytes sent to each client, and the once-a-second
// housekeeping that names waiting clients and moves quiet ones between the tables. Used by
// the reading thread (assign), the data pacing thread (count) and the flushing thread
// (housekeeping); the tables, the log reader and the default priorities guard themselves.
class PriorityModeTraffic {
public:
    using Clock = std::chrono::system_clock;
    // The name of the capped service of a port, or nothing when the port is not recorded.
    using ServiceNameLookup = std::function<std::optional<std::string>(int port)>;
    using RefreshView = std::function<void()>;

    PriorityModeTraffic(IPMode& ipmode, ServiceNameLookup serviceName, RefreshView refreshView);

    // Gives `packet` (addressed to `destination`) its client's priority and screen name,
    // making or moving the client's record as needed. `fromLocalClient`: the local machine
    // sends it to another server (the source port is no capped service). Answers the running
    // maximum priority of the active clients afterwards.
    std::int32_t assign(Packet& packet, std::uint32_t destination, int sourcePort,
                        int destinationPort, bool fromLocalClient, Clock::time_point now);
    // Counts a DATA packet of `bytes` bytes sent to `destination` on its active record.
    void count(std::uint32_t destination, std::int32_t bytes, Clock::time_point now);
    // One housekeeping pass; answers whether the engine may stand by (no active client).
    bool housekeeping();

private:
    std::string serviceNameOf(int port) const;
    int defaultPriorityOf(const std::string& login) const;

    IPMode& ipmode_;
    ServiceNameLookup serviceName_;
    RefreshView refreshView_;
};

}  // namespace quellbox
