#include "engine/DownloadRateController.h"

#include <algorithm>
#include <cmath>

namespace quellbox {

namespace {
constexpr double kBytesPerKiB = 1024.0;
}  // namespace

DownloadRateController::DownloadRateController(double kibPerSecond) : kibPerSecond_(kibPerSecond) {}

void DownloadRateController::setRate(double kibPerSecond) {
    if (kibPerSecond != kibPerSecond_) {
        readings_.clear();
    }
    kibPerSecond_ = kibPerSecond;
}

double DownloadRateController::budget() const { return kibPerSecond_ * kBytesPerKiB * trim_; }

double DownloadRateController::tick(Clock::time_point now, std::uint64_t arrivedBytes,
                                    bool heldBack) {
    const bool continues = !readings_.empty() && now > readings_.back().when &&
                           now - readings_.back().when <= kLongestInterval &&
                           arrivedBytes >= readings_.back().bytes;
    if (!continues) {
        readings_.clear();  // a new base: stand-by, or an engine counting afresh
    }
    readings_.push_back(Reading{now, arrivedBytes});
    if (readings_.size() > kMeasuredTicks + 1) {
        readings_.pop_front();
    }
    if (readings_.size() < 2) {
        return budget();
    }
    const Reading& base = readings_.front();
    const double seconds = std::chrono::duration<double>(now - base.when).count();
    const double measured = static_cast<double>(arrivedBytes - base.bytes) / seconds;
    const double wanted = kibPerSecond_ * kBytesPerKiB;
    // Exponential, so that the budget's logarithm moves by the shortfall and stands still where
    // the shortfall averages nought.
    const double step = std::exp(kGain * (wanted - measured) / wanted);
    trim_ = std::clamp(trim_ * std::clamp(step, 1.0 / kLargestStep, kLargestStep), kSmallestTrim,
                       heldBack ? kLargestTrim : 1.0);
    return budget();
}

}  // namespace quellbox
