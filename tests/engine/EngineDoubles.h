#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/TrafficListener.h"
#include "firewall/DivertSocket.h"

namespace quellbox::testing {

// A divert socket over another one (the simulator's) that can be made to fail opening,
// binding, reading or writing, and can hold writes back until the test lets them go, so
// that packets pile up in the engine's queues in a known order.
class ControlledSocket : public DivertSocket {
public:
    explicit ControlledSocket(std::unique_ptr<DivertSocket> inner) : inner_(std::move(inner)) {}

    std::atomic<bool> failOpen{false};
    std::atomic<bool> failBind{false};
    // The next reads fail (EIO) after writing a plausible packet and token into the
    // caller's areas, which a faulty reader could mistake for a packet.
    std::atomic<int> failReceives{0};
    // The next writes fail with EIO without reaching the simulated kernel.
    std::atomic<int> failSends{0};

    // Writes wait until releaseSends(); waitForHeldSend answers once one is waiting.
    void holdSends();
    void releaseSends();
    bool waitForHeldSend(std::chrono::milliseconds timeout);
    int closeCalls() const { return closeCalls_.load(); }
    int receiveCalls() const { return receiveCalls_.load(); }

    int open() override;
    int bind(int port) override;
    ssize_t receive(std::uint8_t* buffer, std::size_t capacity, sockaddr_in* token,
                    socklen_t* tokenLength) override;
    ssize_t send(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& token,
                 socklen_t tokenLength) override;
    int drop(const sockaddr_in& token, socklen_t tokenLength) override {
        return inner_->drop(token, tokenLength);
    }
    int waitReadable(std::chrono::microseconds timeout) override {
        return inner_->waitReadable(timeout);
    }
    int close() override;
    const char* backendName() const override { return inner_->backendName(); }

private:
    std::unique_ptr<DivertSocket> inner_;
    std::atomic<int> closeCalls_{0};
    std::atomic<int> receiveCalls_{0};
    std::mutex holdMutex_;
    std::condition_variable holdChanged_;
    bool holding_ = false;  // guarded by holdMutex_
    int heldSenders_ = 0;   // guarded by holdMutex_
};

// Records what the engine tells its listeners, in order.
class RecordingListener : public TrafficListener {
public:
    struct Call {
        std::string what;  // "refresh", "ack", "data" or "queue"
        double value = 0;
    };

    void refreshView() override { add({"refresh", 0}); }
    void dataReceived(double bytes) override { add({"data", bytes}); }
    void queueSizeChanged(double packets) override { add({"queue", packets}); }
    void ackReceived(double bytes) override { add({"ack", bytes}); }

    std::vector<Call> calls() const;
    int count(const std::string& what) const;
    // Waits until `what` has been received `atLeast` times (false after ten seconds).
    bool waitFor(const std::string& what, int atLeast);

private:
    void add(Call call);
    int countLocked(const std::string& what) const;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;  // guarded by mutex_
};

}  // namespace quellbox::testing
