#pragma once

#include "IdleEngineControls.h"

namespace quellbox::testing {

// An engine that keeps the last upload rate and acknowledgement pause it was given, as the
// engine does, and forgets every other setting.
class RecordingEngineControls : public IdleEngineControls {
public:
    explicit RecordingEngineControls(float rate = 0.0F) : rate_(rate) {}

    int setDATARate(float rate) override {
        rate_ = rate;
        return 0;
    }
    float getDATARate() const override { return rate_; }
    int setACKPause(float pause) override {
        pause_ = pause;
        return 0;
    }
    float getACKPause() const override { return pause_; }

private:
    float rate_;
    float pause_ = 0.0F;
};

}  // namespace quellbox::testing
