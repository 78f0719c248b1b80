#include "ui/TrafficHistory.h"

namespace quellbox {

namespace {

template <typename Field>
std::vector<float> column(const std::deque<TrafficRates::Rates>& samples, Field field) {
    std::vector<float> values;
    values.reserve(samples.size());
    for (const auto& rates : samples) {
        values.push_back(static_cast<float>(rates.*field));
    }
    return values;
}

}  // namespace

void TrafficHistory::add(const TrafficRates::Rates& rates) {
    samples_.push_back(rates);
    if (samples_.size() > kSamples) {
        samples_.pop_front();
    }
}

std::vector<float> TrafficHistory::pacedUpload() const {
    return column(samples_, &TrafficRates::Rates::pacedUploadKiB);
}

std::vector<float> TrafficHistory::acks() const {
    return column(samples_, &TrafficRates::Rates::ackKiB);
}

std::vector<float> TrafficHistory::download() const {
    return column(samples_, &TrafficRates::Rates::downloadKiB);
}

}  // namespace quellbox
