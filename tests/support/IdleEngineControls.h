#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "engine/EngineControls.h"

namespace quellbox::testing {

// An engine that shapes nothing: every operation succeeds and every setting is forgotten.
// Fakes of the engine derive from it and override only what they record.
class IdleEngineControls : public EngineControls {
public:
    int addULService(const std::shared_ptr<Service>&) override { return 0; }
    int removeULService(const std::shared_ptr<Service>&) override { return 0; }
    int addDLService(const std::shared_ptr<Service>&) override { return 0; }
    int removeDLService(const std::shared_ptr<Service>&) override { return 0; }
    int setDATARate(float) override { return 0; }
    float getDATARate() const override { return 0.0F; }
    int setACKPause(float) override { return 0; }
    float getACKPause() const override { return 0.0F; }
    int setDownloadRate(bool, float) override { return 0; }
    bool isDownloadRateOn() const override { return false; }
    float getDownloadRate() const override { return 0.0F; }
    void setPriorityFactor(std::int32_t) override {}
    void setMaxQueueDelay(std::chrono::milliseconds) override {}
    void addTrafficListener(std::shared_ptr<TrafficListener>) override {}
    void removeTrafficListener(const TrafficListener*) override {}
};

}  // namespace quellbox::testing
