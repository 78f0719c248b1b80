#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace quellbox {

class Service;
class TrafficListener;

// The longest queueing-delay bound a user may set, in milliseconds.
inline constexpr std::int64_t kLongestQueueDelayMs = 10000;

// What a front end asks of the shaping engine: the four service operations, the setters and
// the traffic listeners. The engine itself answers them in its own process; the
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
    // The download rate mode: while it is on, the engine sets the acknowledgement pause
    // itself, so that the download of the download-capped services holds `kibPerSecond`;
    // the pause set with setACKPause waits, and comes back when the mode goes off. -1 (and
    // nothing changed) for a rate that is not a positive number while turning it on.
    virtual int setDownloadRate(bool on, float kibPerSecond) = 0;
    virtual bool isDownloadRateOn() const = 0;
    virtual float getDownloadRate() const = 0;  // KiB/s, the last one set
    virtual void setPriorityFactor(std::int32_t factor) = 0;
    // The longest a DATA packet may wait for its turn before the engine drops from the head
    // of the longest client's queue; zero (the default) leaves only the 200-packet bound.
    virtual void setMaxQueueDelay(std::chrono::milliseconds bound) = 0;

    // A listener added twice is called twice; removal takes every occurrence.
    virtual void addTrafficListener(std::shared_ptr<TrafficListener> listener) = 0;
    virtual void removeTrafficListener(const TrafficListener* listener) = 0;
};

}  // namespace quellbox
