#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quellbox {

// The simulated network link on which packets leave the machine: written-back packets and
// packets that no divert rule caught. It counts bytes per destination address and shows
// every departing packet, with its departure time, to its observers (tests checking the
// output byte for byte and its pacing, simulated remote clients reacting to departures).
//
// transmit may be called from several threads at once. Observers run on the transmitting
// thread, one packet at a time per thread; they must not subscribe or unsubscribe from
// inside a call. After unsubscribe returns, that observer is never called again.
class SimWire {
public:
    using Clock = std::chrono::steady_clock;
    using Observer = std::function<void(const std::uint8_t* bytes, std::size_t length,
                                        Clock::time_point departure)>;
    using ObserverId = std::uint64_t;

    // Sends one IPv4 packet (bytes from its header on).
    void transmit(const std::uint8_t* bytes, std::size_t length);

    ObserverId subscribe(Observer observer);
    void unsubscribe(ObserverId id);

    // Bytes sent to an address, as an IP number (a.b.c.d = a*2^24 + b*2^16 + c*2^8 + d) or
    // in dotted decimal.
    std::uint64_t bytesTo(std::uint32_t ipNumber) const;
    std::uint64_t bytesTo(const std::string& dottedAddress) const;
    std::map<std::uint32_t, std::uint64_t> bytesPerDestination() const;
    std::uint64_t totalBytes() const;
    std::uint64_t totalPackets() const;

private:
    mutable std::mutex countMutex_;
    std::unordered_map<std::uint32_t, std::uint64_t> bytesPerDestination_;
    std::uint64_t totalBytes_ = 0;
    std::uint64_t totalPackets_ = 0;

    // Shared while observers run, exclusive while the list changes.
    mutable std::shared_mutex observerMutex_;
    std::vector<std::pair<ObserverId, Observer>> observers_;
    ObserverId nextObserverId_ = 1;
};

}  // namespace quellbox
