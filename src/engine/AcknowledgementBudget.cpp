#include "engine/AcknowledgementBudget.h"

#include <algorithm>

namespace quellbox {

double AcknowledgementBudget::depthBytes() const {
    return rate_ * std::chrono::duration<double>(kDepth).count();
}

void AcknowledgementBudget::refill(Clock::time_point now) {
    const double full = depthBytes();
    if (!tokens_ || !refilled_) {
        tokens_ = full;
    } else if (now > *refilled_) {
        const double seconds = std::chrono::duration<double>(now - *refilled_).count();
        tokens_ = std::min(full, *tokens_ + seconds * rate_);
    }
    refilled_ = std::max(now, refilled_.value_or(now));
}

void AcknowledgementBudget::setRate(double bytesPerSecond, Clock::time_point now) {
    refill(now);  // what has accrued so far accrued at the old rate
    rate_ = bytesPerSecond;
    tokens_ = std::min(*tokens_, depthBytes());
}

AcknowledgementBudget::Clock::time_point AcknowledgementBudget::releaseTime(std::uint64_t bytes,
                                                                            Clock::time_point now) {
    refill(now);
    // More than the bucket holds waits only for a full bucket, so that it ever leaves.
    const double needed = std::min(static_cast<double>(bytes), depthBytes());
    if (bytes == 0 || *tokens_ >= needed) {
        return now;
    }
    // A rate near zero would give a wait beyond what the clock can count; a day is already
    // a stop in all but name, and a change of the rate wakes the waiter before it.
    constexpr double kLongestWait = 24.0 * 3600.0;
    const auto wait =
        std::chrono::duration<double>(std::min((needed - *tokens_) / rate_, kLongestWait));
    // Rounded up, so that at that moment the bucket does hold the bytes.
    return now + std::chrono::ceil<Clock::duration>(wait);
}

void AcknowledgementBudget::spend(std::uint64_t bytes, Clock::time_point now) {
    refill(now);
    *tokens_ -= static_cast<double>(bytes);
}

}  // namespace quellbox
