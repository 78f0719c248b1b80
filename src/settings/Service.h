#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace quellbox {

// One TCP port of the server, listed by name in the services table, with whether its upload
// and its download are capped. Two services are the same service when their ports are equal.
class Service {
public:
    // "NoName Service" (localised) on port 0.
    Service();
    Service(const std::string& name, std::int32_t servicePort);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // The name is read by the engine's threads while the main thread may rename the
    // service, so both sides take serviceLock.
    std::string name() const;
    void setName(const std::string& name);

    std::int32_t servicePort() const { return servicePort_.load(std::memory_order_relaxed); }
    void setServicePort(std::int32_t port) { servicePort_.store(port, std::memory_order_relaxed); }
    bool uploadIsCapped() const { return uploadIsCapped_.load(std::memory_order_relaxed); }
    void setUploadIsCapped(bool capped) {
        uploadIsCapped_.store(capped, std::memory_order_relaxed);
    }
    bool downloadIsCapped() const { return downloadIsCapped_.load(std::memory_order_relaxed); }
    void setDownloadIsCapped(bool capped) {
        downloadIsCapped_.store(capped, std::memory_order_relaxed);
    }

    // Equal when the ports are equal; names and flags play no part.
    bool isEqual(const Service& other) const { return servicePort() == other.servicePort(); }
    bool operator==(const Service& other) const { return isEqual(other); }

private:
    mutable std::mutex serviceLock;
    std::string name_;
    std::atomic<std::int32_t> servicePort_;
    std::atomic<bool> uploadIsCapped_{false};
    std::atomic<bool> downloadIsCapped_{false};
};

}  // namespace quellbox

// A hash that agrees with equality: the port.
template <>
struct std::hash<quellbox::Service> {
    std::size_t operator()(const quellbox::Service& service) const noexcept {
        return std::hash<std::int32_t>{}(service.servicePort());
    }
};
