#include "firewall/SimWire.h"

#include <arpa/inet.h>

#include <algorithm>

namespace quellbox {

namespace {
constexpr std::size_t kDestinationOffset = 16;
}

void SimWire::transmit(const std::uint8_t* bytes, std::size_t length) {
    const Clock::time_point departure = Clock::now();
    {
        std::lock_guard guard(countMutex_);
        ++totalPackets_;
        totalBytes_ += length;
        if (length >= kDestinationOffset + 4) {
            const std::uint32_t destination =
                (std::uint32_t{bytes[16]} << 24) | (std::uint32_t{bytes[17]} << 16) |
                (std::uint32_t{bytes[18]} << 8) | std::uint32_t{bytes[19]};
            bytesPerDestination_[destination] += length;
        }
    }
    std::shared_lock observersGuard(observerMutex_);
    for (const auto& [id, observer] : observers_) {
        observer(bytes, length, departure);
    }
}

SimWire::ObserverId SimWire::subscribe(Observer observer) {
    std::unique_lock guard(observerMutex_);
    const ObserverId id = nextObserverId_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void SimWire::unsubscribe(ObserverId id) {
    std::unique_lock guard(observerMutex_);
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

std::uint64_t SimWire::bytesTo(std::uint32_t ipNumber) const {
    std::lock_guard guard(countMutex_);
    const auto found = bytesPerDestination_.find(ipNumber);
    return found == bytesPerDestination_.end() ? 0 : found->second;
}

std::uint64_t SimWire::bytesTo(const std::string& dottedAddress) const {
    in_addr address{};
    if (inet_pton(AF_INET, dottedAddress.c_str(), &address) != 1) {
        return 0;
    }
    return bytesTo(ntohl(address.s_addr));
}

std::map<std::uint32_t, std::uint64_t> SimWire::bytesPerDestination() const {
    std::lock_guard guard(countMutex_);
    return {bytesPerDestination_.begin(), bytesPerDestination_.end()};
}

std::uint64_t SimWire::totalBytes() const {
    std::lock_guard guard(countMutex_);
    return totalBytes_;
}

std::uint64_t SimWire::totalPackets() const {
    std::lock_guard guard(countMutex_);
    return totalPackets_;
}

}  // namespace quellbox
