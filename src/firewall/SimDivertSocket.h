#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "firewall/DivertSocket.h"

namespace quellbox {

class SimKernel;

// The divert socket of the simulated kernel. Bound to a divert port, it receives the
// packets that SimKernel::inject diverts to that port, through a bounded queue of
// kernel.queueCapacity() packets (when it is full the kernel lets packets pass: fail-open).
// send puts the bytes on the kernel's wire; drop counts the packet as dropped.
//
// The queue's slots keep their buffers, so steady traffic allocates nothing per packet.
// A blocked receive sleeps on a condition variable; close wakes it.
class SimDivertSocket : public DivertSocket {
public:
    explicit SimDivertSocket(SimKernel& kernel);
    ~SimDivertSocket() override;

    int open() override;
    int bind(int port) override;
    ssize_t receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                    socklen_t* tokenLength) override;
    ssize_t send(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& token,
                 socklen_t tokenLength) override;
    int drop(const sockaddr_in& token, socklen_t tokenLength) override;
    int waitReadable(std::chrono::microseconds timeout) override;
    int close() override;
    const char* backendName() const override { return "sim"; }

private:
    friend class SimKernel;
    enum class State { Fresh, Open, Bound, Closed };
    struct Slot {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t capacity = 0;
        std::size_t length = 0;
        std::uint64_t id = 0;
    };

    // Called by the kernel (under its lock): false when the queue is full or closed.
    bool enqueue(const std::uint8_t* bytes, std::size_t length, std::uint64_t id);

    SimKernel& kernel_;
    std::mutex mutex_;
    std::condition_variable readable_;
    State state_ = State::Fresh;
    std::atomic<bool> closed_{false};
    int port_ = 0;
    std::vector<Slot> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    int waiters_ = 0;
};

}  // namespace quellbox
