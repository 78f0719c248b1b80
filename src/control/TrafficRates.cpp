#include "control/TrafficRates.h"

#include "engine/EngineCounters.h"

namespace quellbox {

namespace {

double kibPerSecond(std::uint64_t bytes, double seconds) {
    return static_cast<double>(bytes) / 1024.0 / seconds;
}

}  // namespace

TrafficTotals TrafficTotals::of(const EngineCounters& counters) {
    return TrafficTotals{counters.dataBytes, counters.unpacedDataBytes, counters.ackBytes,
                         counters.downloadBytes};
}

void TrafficRates::addTotals(Clock::time_point now, const TrafficTotals& totals) {
    ticks_.emplace_back(now, totals);
    // Keep one tick at least a window old as the base of the rates; older ones are spent.
    while (ticks_.size() > 2 && now - ticks_[1].first >= kWindow) {
        ticks_.pop_front();
    }
}

std::optional<TrafficRates::Rates> TrafficRates::rates() const {
    if (ticks_.size() < 2) {
        return std::nullopt;
    }
    const auto& [since, first] = ticks_.front();
    const auto& [until, last] = ticks_.back();
    // A rate over less than the window is the noisier figure of a few packets: the first
    // ticks after a start show nothing rather than a spike.
    if (until - since < kWindow) {
        return std::nullopt;
    }
    const double seconds = std::chrono::duration<double>(until - since).count();
    // A restarted engine counts from 0 again: its first tick is a new base, not a rate.
    if (last.dataBytes < first.dataBytes || last.unpacedDataBytes < first.unpacedDataBytes ||
        last.ackBytes < first.ackBytes || last.downloadBytes < first.downloadBytes) {
        return std::nullopt;
    }
    Rates rates;
    rates.pacedUploadKiB = kibPerSecond(
        last.dataBytes - first.dataBytes + last.unpacedDataBytes - first.unpacedDataBytes, seconds);
    rates.ackKiB = kibPerSecond(last.ackBytes - first.ackBytes, seconds);
    rates.downloadKiB = kibPerSecond(last.downloadBytes - first.downloadBytes, seconds);
    return rates;
}

}  // namespace quellbox
