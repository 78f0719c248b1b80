#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/AcknowledgedBytes.h"
#include "engine/AcknowledgementBudget.h"
#include "engine/DownloadRateController.h"
#include "engine/EngineControls.h"
#include "engine/EngineCounters.h"
#include "engine/FlowBacklog.h"
#include "engine/PacingClock.h"
#include "engine/PacketReleaser.h"
#include "engine/PriorityModeTraffic.h"
#include "platform/RunLoop.h"

namespace quellbox {

class DivertSocket;
class IPMode;
class IpfwRule;
class NotificationCenter;
class Packet;
class Preferences;
class Queue;
class RandomSource;
class Service;
class TrafficListener;
class priorityQueue;

// The traffic shaping engine. It keeps the capped services and installs their divert rules,
// holds the upload rate, the acknowledgement pause and the priority step, reads every diverted
// packet, sorts it, and writes it back: acknowledgements at once or after the pause, data
// paced to the rate (by client priority in Priority Mode). Listeners get the gauges every
// 0.4 s on the main run loop; failures the user must see are posted as
// "genericIpfwProblemNotification".
//
// Threads: the reading thread (started by the constructor) opens the socket, then starts the
// direct and slowed acknowledgement threads, the data pacing thread and the flushing thread.
// Service operations and setters belong to the main thread. Destroying the engine stops and
// joins every thread (tests do; the application keeps its engine until it ends).
class ThroughputLimiter : public EngineControls, private PacketReleaser {
public:
    static constexpr int kDivertPort = 6715;
    static constexpr auto kGaugeInterval = std::chrono::milliseconds(400);

    struct Collaborators {
        std::unique_ptr<DivertSocket> socket;  // unopened; the reading thread opens it
        std::unique_ptr<IpfwRule> rule;
        RunLoop& mainRunLoop;
        Preferences& preferences;
        IPMode& ipmode;
        NotificationCenter& notifications;
        RandomSource& random;
    };

    explicit ThroughputLimiter(Collaborators collaborators);
    ~ThroughputLimiter() override;
    ThroughputLimiter(const ThroughputLimiter&) = delete;
    ThroughputLimiter& operator=(const ThroughputLimiter&) = delete;

    // The application's engine, made on first use by the maker given to configureShared.
    static ThroughputLimiter& sharedInstance();
    static void configureShared(std::function<std::unique_ptr<ThroughputLimiter>()> maker);

    int addULService(const std::shared_ptr<Service>& service) override;
    int removeULService(const std::shared_ptr<Service>& service) override;
    int addDLService(const std::shared_ptr<Service>& service) override;
    int removeDLService(const std::shared_ptr<Service>& service) override;

    int setDATARate(float rate) override;
    float getDATARate() const override { return DATARate_.load(std::memory_order_relaxed); }
    int setACKPause(float pause) override;
    // The pause in force: the one set here; none in the download rate mode, whose budget
    // holds the acknowledgements back instead.
    float getACKPause() const override { return ACKPause_.load(std::memory_order_relaxed); }
    int setDownloadRate(bool on, float kibPerSecond) override;
    bool isDownloadRateOn() const override;
    float getDownloadRate() const override;
    void setPriorityFactor(std::int32_t factor) override {
        priorityFactor_.store(factor, std::memory_order_relaxed);
    }
    std::int32_t priorityFactor() const { return priorityFactor_.load(std::memory_order_relaxed); }
    // Negative bounds count as zero (off).
    void setMaxQueueDelay(std::chrono::milliseconds bound) override;
    std::chrono::milliseconds maxQueueDelay() const {
        return std::chrono::milliseconds(maxQueueDelayMs_.load(std::memory_order_relaxed));
    }

    // The engine keeps a share of each listener, so a call in progress never outlives its
    // object.
    void addTrafficListener(std::shared_ptr<TrafficListener> listener) override;
    void removeTrafficListener(const TrafficListener* listener) override;

    void fireAllEventsToListeners();
    void fireAckEventToListeners(double bytes);
    void fireDataEventToListeners(double bytes);
    void fireQueueSizeEventToListeners(double packets);
    void fireRefreshEventToListeners();

    // Gauge values and state, for the windows, statistics and tests.
    std::int32_t lastACKPacketSize() const {
        return lastACKPacketSize_.load(std::memory_order_relaxed);
    }
    std::int32_t lastDATAPacketSize() const {
        return lastDATAPacketSize_.load(std::memory_order_relaxed);
    }
    std::int32_t queueSize() const { return queueSize_.load(std::memory_order_relaxed); }
    bool isCappedUL(int port) const;
    bool isCappedDL(int port) const;
    // True once the socket is bound and the four other threads run.
    bool isRunning() const { return running_.load(std::memory_order_acquire); }
    // Waits (up to `timeout`) until the reading thread has finished its start-up, with or
    // without success; answers isRunning().
    bool waitUntilStarted(std::chrono::milliseconds timeout);
    bool isInStandBy() const { return inStandBy_.load(std::memory_order_acquire); }
    // Packets and bytes the engine has handled since it started.
    using Counters = EngineCounters;
    Counters counters() const;
    IpfwRule& rule() { return *rule_; }

private:
    using Clock = std::chrono::steady_clock;

    void processPacket();
    void ACKDirectSend();
    void ACKSlowDown();
    void dataSlowDown();
    void flushingThread();

    bool startUp();
    void readingLoop(std::uint32_t ownAddress);
    void classify(std::unique_ptr<Packet> packet, std::uint32_t ownAddress,
                  std::int32_t& runningMaximum);
    // Adds what the packet's acknowledgement number newly acknowledges to the download, and
    // answers it.
    std::uint32_t countDownload(const PacketHeader& header, bool downloadCapped);
    // A queue refused a packet: full, or closed because the engine stops.
    void countRefused();
    // Answers whether the packet went out.
    bool writeBack(Packet& packet, const char* failureMessage);
    // An acknowledgement-class packet was written back: when it carried data, the pacing
    // of the DATA packets makes room for it.
    void chargeUnpacedData(const Packet& packet);
    // The slowed acknowledgement thread's wait before it writes `packet` back: the pause, or
    // in the download rate mode until the budget holds the bytes it releases. False once the
    // engine stops.
    bool holdBack(const Packet& packet);
    // Wakes a wait for the budget after the budget changed.
    void budgetChanged();
    void postProblem(const std::string& title, const std::string& message, bool needToQuit);
    std::optional<std::string> serviceNameForPort(int port) const;
    // Every gauge tick: the download rate mode moves the pause, then the listeners hear.
    void gaugeTick();
    void steerDownloadRate();
    void scheduleGaugeTimer();
    void stopGaugeTimer();
    // Sleeps until `deadline`, or less when the engine stops; false once it stops.
    bool sleepUntil(Clock::time_point deadline);
    // The same, waking early too once budgetChanges_ is no longer `seen`.
    bool sleepUntil(Clock::time_point deadline, std::uint64_t seen);
    bool stopping() const { return stopping_.load(std::memory_order_acquire); }
    void releaseUnsent(const Packet& packet) override;
    template <typename Call>
    void forEachListener(Call call);

    // Collaborators.
    std::unique_ptr<DivertSocket> socket_;
    std::unique_ptr<IpfwRule> rule_;
    RunLoop& mainRunLoop_;
    Preferences& preferences_;
    IPMode& ipmode_;
    NotificationCenter& notifications_;
    RandomSource& random_;
    PriorityModeTraffic priorityTraffic_;

    // Services, by port; guarded by setOtherLock.
    mutable std::mutex setOtherLock;
    std::map<int, std::shared_ptr<Service>> cappedULServices;
    std::map<int, std::shared_ptr<Service>> cappedDLServices;

    std::mutex socketLock;  // serialises writes (and releases) to the socket

    // The pacing deadline: advanced by the data pacing thread for each DATA packet and by
    // the acknowledgement threads for data they write back unpaced.
    std::mutex pacingLock;
    PacingClock pacing_{std::chrono::milliseconds(20)};  // guarded by pacingLock

    // DATA packets waiting, per flow; every DATA packet holds a ticket of it. Declared before
    // the queues so that it outlives the packets they hold.
    FlowBacklog dataBacklog_;

    std::mutex listenerLock;
    std::vector<std::shared_ptr<TrafficListener>> listenerArray;  // guarded by listenerLock

    std::atomic<float> DATARate_{0.0F};
    std::atomic<float> ACKPause_{0.0F};

    // The download rate mode; ACKPause_ is written under this lock.
    mutable std::mutex downloadRateLock;
    // Both there while the mode is on: the budget the held acknowledgements spend, and the
    // controller that sets its rate.
    std::optional<DownloadRateController> downloadRate_;
    std::optional<AcknowledgementBudget> budget_;
    std::atomic<std::uint64_t> budgetChanges_{0};  // counts changes of budget_, for its waiter
    std::atomic<bool> heldBack_{false};            // an acknowledgement waited for budget_
    float lastDownloadRate_ = 0.0F;
    float chosenPause_ = 0.0F;  // setACKPause's, in force while the mode is off
    std::atomic<std::int32_t> priorityFactor_{0};
    std::atomic<std::int64_t> maxQueueDelayMs_{0};
    std::atomic<std::int32_t> lastACKPacketSize_{0};
    std::atomic<std::int32_t> lastDATAPacketSize_{0};
    std::atomic<std::int32_t> queueSize_{0};

    std::mutex timerLock;
    std::optional<RunLoop::TimerId> jaugesTimer;  // guarded by timerLock

    // Queues; made by the reading thread under lifecycleLock, then fixed.
    std::unique_ptr<Queue> firstACKPacketQueue;
    std::unique_ptr<Queue> secondACKPacketQueue;
    std::unique_ptr<priorityQueue> prioDataPacketQueue;
    // The same queue for readers of its drop counts on other threads, published once made
    // (counters() must not wait for lifecycleLock, which the pacing thread sleeps under).
    std::atomic<const priorityQueue*> dataQueue_{nullptr};

    // Start-up, stop and stand-by.
    std::mutex lifecycleLock;
    std::condition_variable lifecycleChanged_;
    bool startUpDone_ = false;  // guarded by lifecycleLock
    std::atomic<bool> stopping_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> inStandBy_{false};
    std::atomic<bool> standByWaiting_{false};
    std::atomic<std::uint64_t> packetsRead_{0};
    std::atomic<std::uint64_t> writtenBack_{0};
    std::atomic<std::uint64_t> writeFailures_{0};
    std::atomic<std::uint64_t> malformed_{0};
    std::atomic<std::uint64_t> dataBytes_{0};
    std::atomic<std::uint64_t> unpacedDataBytes_{0};
    std::atomic<std::uint64_t> ackBytes_{0};
    // The download of every capped service, as the reading thread reads it.
    std::atomic<std::uint64_t> downloadBytes_{0};
    AcknowledgedBytes acknowledged_;  // the reading thread's alone
    // The part of it the download-capped flows acknowledged: what the download rate mode
    // holds to the cap.
    std::atomic<std::uint64_t> cappedDownloadBytes_{0};
    // Bytes acknowledged by held acknowledgements that a full queue refused: the next one to
    // leave releases them too, and spends them.
    std::atomic<std::uint64_t> unspentBytes_{0};
    std::atomic<std::uint64_t> refused_{0};

    std::thread readingThread_;
    std::vector<std::thread> workerThreads_;  // written by the reading thread under lifecycleLock
};

}  // namespace quellbox
