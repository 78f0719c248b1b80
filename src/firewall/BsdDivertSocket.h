#pragma once

#include <atomic>
#include <mutex>

#include "firewall/DivertSocket.h"

namespace quellbox {

// The real divert socket (PF_INET, SOCK_RAW, IPPROTO_DIVERT), built only where the system
// defines IPPROTO_DIVERT (FreeBSD with ipfw). The token is the kernel's own socket address;
// drop does nothing (a packet not written back is simply gone). A pipe wakes a reader
// blocked in receive when another thread closes the socket.
class BsdDivertSocket : public DivertSocket {
public:
    BsdDivertSocket() = default;
    ~BsdDivertSocket() override;

    int open() override;
    int bind(int port) override;
    ssize_t receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                    socklen_t* tokenLength) override;
    ssize_t send(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& token,
                 socklen_t tokenLength) override;
    int drop(const sockaddr_in& token, socklen_t tokenLength) override;
    int waitReadable(std::chrono::microseconds timeout) override;
    int close() override;
    const char* backendName() const override { return "divert"; }

private:
    bool enter();
    void leave();
    int pollReadable(int timeoutMilliseconds);

    int fd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> open_{false};
    std::atomic<bool> closed_{false};
    std::atomic<int> users_{0};
    std::mutex lifecycleMutex_;
};

}  // namespace quellbox
