#pragma once

#include <cstdint>
#include <memory>

namespace quellbox {

class Service;
class TrafficListener;

// What a front end asks of the shaping engine: the four service operations, the three
// setters and the traffic listeners. The engine itself answers them in its own process; the
// desktop window answers them through the proxy that drives the engine process.
class EngineControls {
public:
    virtual ~EngineControls() = default;

    // 0 on success, -1 on failure (the engine has posted the problem).
    virtual int addULService(const std::shared_ptr<Service>& service) = 0;
    virtual int removeULService(const std::shared_ptr<Service>& service) = 0;
    virtual int addDLService(const std::shared_ptr<Service>& service) = 0;
    virtual int removeDLService(const std::shared_ptr<Service>& service) = 0;

    virtual int setDATARate(float rate) = 0;
    virtual float getDATARate() const = 0;
    virtual int setACKPause(float pause) = 0;
    virtual float getACKPause() const = 0;
    virtual void setPriorityFactor(std::int32_t factor) = 0;

    // A listener added twice is called twice; removal takes every occurrence.
    virtual void addTrafficListener(std::shared_ptr<TrafficListener> listener) = 0;
    virtual void removeTrafficListener(const TrafficListener* listener) = 0;
};

}  // namespace quellbox
