#include "engine/DownloadRateController.h"

#include <algorithm>
#include <cmath>

namespace quellbox {

namespace {
constexpr double kBytesPerKiB = 1024.0;
constexpr double kMicrosPerSecond = 1e6;
}  // namespace

DownloadRateController::DownloadRateController(double kibPerSecond) : kibPerSecond_(kibPerSecond) {}

void DownloadRateController::setRate(double kibPerSecond) { kibPerSecond_ = kibPerSecond; }

float DownloadRateController::tick(Clock::time_point now, Totals totals,
                                   double longestPauseMicros) {
    const bool continues = !readings_.empty() && now > readings_.back().when &&
                           now - readings_.back().when <= kLongestInterval &&
                           totals.bytes >= readings_.back().totals.bytes &&
                           totals.acknowledgements >= readings_.back().totals.acknowledgements;
    if (!continues) {
        readings_.clear();  // a new base: stand-by, or an engine counting afresh
    }
    readings_.push_back(Reading{now, totals});
    if (readings_.size() > kMeasuredTicks + 1) {
        readings_.pop_front();
    }
    if (readings_.size() < 2) {
        return pause();
    }
    const Reading& base = readings_.front();
    const double seconds = std::chrono::duration<double>(now - base.when).count();
    const auto bytes = static_cast<double>(totals.bytes - base.totals.bytes);
    const auto acknowledgements =
        static_cast<double>(totals.acknowledgements - base.totals.acknowledgements);
    const double wanted = kibPerSecond_ * kBytesPerKiB;  // bytes per second
    const double measured = bytes / seconds;

    if (pauseMicros_ == 0.0) {
        if (measured > wanted && acknowledgements > 0.0) {
            pauseMicros_ = bytes / acknowledgements / wanted * kMicrosPerSecond;
        }
    } else {
        // No download at all halves the pause, as the largest step allows.
        const double step = measured > 0.0 ? std::pow(measured / wanted, kGain) : 0.0;
        pauseMicros_ *= std::clamp(step, 1.0 / kLargestStep, kLargestStep);
    }
    pauseMicros_ = std::min(pauseMicros_, std::max(longestPauseMicros, 0.0));
    if (pauseMicros_ < kShortestPauseMicros) {
        pauseMicros_ = 0.0;
    }
    return pause();
}

}  // namespace quellbox
