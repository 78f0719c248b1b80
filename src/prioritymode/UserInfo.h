#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PlistValue.h"

namespace quellbox {

// The record of one remote client in Priority Mode: who it is (screen name and login from
// the server's log), the service it was seen on, its priority, and the byte counters and
// dates from which the priority drawer computes its two upload rates. Shared by the client
// tables and the engine's threads (std::shared_ptr); every accessor may be called from any
// thread.
class UserInfo {
public:
    using Date = std::chrono::system_clock::time_point;

    // The bytes of one rate window and its length in seconds, read in one step.
    struct RateWindow {
        double seconds;
        std::int32_t bytes;
    };

    // A record with priority 5, screen name "Unknown", login "Unknown Login", service
    // "Service" and both packet dates now.
    UserInfo();
    UserInfo(std::string service, std::int32_t priority, std::string name, std::string login,
             Date date);
    UserInfo(const UserInfo&) = delete;
    UserInfo& operator=(const UserInfo&) = delete;

    std::string usedService() const;
    void setUsedService(std::string service);
    // Not range-checked: keeping it within 0..10 is the callers' concern.
    std::int32_t priority() const { return priority_.load(std::memory_order_relaxed); }
    void setPriority(std::int32_t priority) {
        priority_.store(priority, std::memory_order_relaxed);
    }
    std::string screenName() const;
    void setScreenName(std::string name);
    std::string login() const;
    void setLogin(std::string login);
    Date lastPacketDate() const;
    void setLastPacketDate(Date date);
    Date firstPacketDate() const;
    void setFirstPacketDate(Date date);
    Date lastInstantaneousRateDate() const;
    void setLastInstantaneousRateDate(Date date);

    // Counts one packet sent to the client: its size goes into both rate windows (additions
    // wrap modulo 2^32) and into the bytes sent since the record was made.
    void setLastPacketSize(std::int32_t size);
    // Bytes of the packets counted since the record was made; never restarted, no lock.
    std::uint64_t bytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
    std::int32_t instantaneousRateTotalPacketsSize() const;
    void setInstantaneousRateTotalPacketsSize(std::int32_t size);
    std::int32_t totalDownloadSize() const;
    void setTotalDownloadSize(std::int32_t size);

    // The long window (firstPacketDate to lastPacketDate, totalDownloadSize). When it spans
    // at least `restartAfter` seconds, a new window starts at the last packet, in the same
    // step as the read, so that a packet counted meanwhile is never lost between the read
    // and the restart. The answer is the window before any restart.
    RateWindow takeAverageRateWindow(double restartAfter);
    // The short window (lastInstantaneousRateDate to lastPacketDate,
    // instantaneousRateTotalPacketsSize); a restart starts the new window at `now`.
    RateWindow takeInstantaneousRateWindow(double restartAfter, Date now);

    // The field of that name, as the drawer's table reads columns it does not compute
    // itself; nothing for a name that is no field.
    std::optional<PlistValue> valueForKey(const std::string& name) const;

    // Writes the priority, the names and the two packet dates to the system log.
    void displayAllInfo() const;

private:
    mutable std::mutex userInfoLock;
    std::atomic<std::int32_t> priority_;
    std::atomic<std::uint64_t> bytesSent_{0};
    std::string usedService_;                             // guarded by userInfoLock
    std::string screenName_;                              // guarded by userInfoLock
    std::string login_;                                   // guarded by userInfoLock
    Date lastPacketDate_;                                 // guarded by userInfoLock
    Date firstPacketDate_;                                // guarded by userInfoLock
    std::int32_t totalDownloadSize_ = 0;                  // guarded by userInfoLock
    Date lastInstantaneousRateDate_;                      // guarded by userInfoLock
    std::int32_t lastPacketSize_ = 0;                     // guarded by userInfoLock
    std::int32_t instantaneousRateTotalPacketsSize_ = 0;  // guarded by userInfoLock
};

}  // namespace quellbox
