#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace quellbox {

struct EngineCounters;

// The engine's byte totals since it started, as a front end reads them on every tick.
struct TrafficTotals {
    std::uint64_t dataBytes = 0;         // DATA packets written back at the upload rate
    std::uint64_t unpacedDataBytes = 0;  // data sent at once for SYN/PSH, charged to the rate
    std::uint64_t ackBytes = 0;          // acknowledgements without data, never charged
    std::uint64_t downloadBytes = 0;     // newly acknowledged by the capped services
    bool operator==(const TrafficTotals&) const = default;

    // The byte totals among the engine's counters.
    static TrafficTotals of(const EngineCounters& counters);
};

// Rates over the last second from totals taken at ticks (the gauge timer's 0.4 s in the
// window, 1 s in the headless mode). The paced upload counts the data sent at once too: the
// pacing makes room for it, so that sum is what the upload cap bounds. Acknowledgements go
// out unpaced and are shown apart, so that the upload figure compares with the cap.
class TrafficRates {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{1};

    struct Rates {
        double pacedUploadKiB = 0.0;  // KiB/s
        double ackKiB = 0.0;          // KiB/s
        double downloadKiB = 0.0;     // KiB/s
    };

    // The totals read at `now`; ticks must come in time order.
    void addTotals(Clock::time_point now, const TrafficTotals& totals);
    // Nothing until the ticks seen span a whole window.
    std::optional<Rates> rates() const;

private:
    // The newest tick and the ticks back to the last one a whole window older than it.
    std::deque<std::pair<Clock::time_point, TrafficTotals>> ticks_;
};

}  // namespace quellbox
