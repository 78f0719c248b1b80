#include "engine/ThroughputLimiter.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/Packet.h"
#include "engine/PacketHeader.h"
#include "engine/Queue.h"
#include "engine/TrafficListener.h"
#include "engine/priorityQueue.h"
#include "firewall/DivertSocket.h"
#include "firewall/IpfwRule.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "prioritymode/GenericIPTable.h"
#include "prioritymode/IPMode.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/Service.h"

namespace quellbox {

namespace {

constexpr const char* kProblemNotification = "genericIpfwProblemNotification";
constexpr const char* kAckWriteFailure =
    "Quellbox Error when writing an ACK Packet to the Divert socket";
constexpr const char* kDataWriteFailure =
    "Quellbox Error when writing a DATA Packet to the Divert socket";
constexpr const char* kPrivilegesMessage =
    "Please check Quellbox has enough privileges or reinstall it.";
constexpr std::int32_t kDefaultRunningMaximum = 5;
constexpr auto kIdleTest = std::chrono::seconds(1);
constexpr auto kFlushCycle = std::chrono::seconds(1);
constexpr auto kShortestPacingSleep = std::chrono::microseconds(250);

std::mutex sharedMutex;
std::function<std::unique_ptr<ThroughputLimiter>()> sharedMaker;  // guarded by sharedMutex

std::int32_t positiveFactor(std::int64_t stored) {
    const std::int64_t magnitude = stored < 0 ? -stored : stored;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(magnitude, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

ThroughputLimiter::ThroughputLimiter(Collaborators collaborators)
    : socket_(std::move(collaborators.socket)),
      rule_(std::move(collaborators.rule)),
      mainRunLoop_(collaborators.mainRunLoop),
      preferences_(collaborators.preferences),
      ipmode_(collaborators.ipmode),
      notifications_(collaborators.notifications),
      random_(collaborators.random),
      priorityTraffic_(
          ipmode_, [this](int port) { return serviceNameForPort(port); },
          [this] { fireRefreshEventToListeners(); }) {
    scheduleGaugeTimer();
    priorityFactor_ = positiveFactor(preferences_.integerForKey(keys::priorityFactor));
    setMaxQueueDelay(std::chrono::milliseconds(preferences_.integerForKey(keys::maxQueueDelay)));
    readingThread_ = std::thread([this] { processPacket(); });
}

ThroughputLimiter::~ThroughputLimiter() {
    stopping_.store(true, std::memory_order_release);
    {
        std::lock_guard guard(lifecycleLock);
        if (prioDataPacketQueue) {
            prioDataPacketQueue->close();
            firstACKPacketQueue->close();
            secondACKPacketQueue->close();
        }
    }
    lifecycleChanged_.notify_all();
    // The writing threads end first, while the socket is still open: the packets they and
    // the queues still hold are then released to the kernel as dropped, not left held in
    // it. (No worker is added once stopping is set: start-up checks it under the lock.)
    for (auto& worker : workerThreads_) {
        worker.join();
    }
    if (prioDataPacketQueue) {
        prioDataPacketQueue->releaseAll();
        while (firstACKPacketQueue->pop() != nullptr) {
        }
        while (secondACKPacketQueue->pop() != nullptr) {
        }
    }
    // Closing wakes the reading thread; what it reads meanwhile goes to closed queues,
    // which release it at once.
    socket_->close();
    readingThread_.join();
    stopGaugeTimer();
    // A gauge tick already running on the main loop must finish before the engine goes.
    if (!mainRunLoop_.isMainThread()) {
        mainRunLoop_.performOnMainThread([] {}, true);
    }
}

ThroughputLimiter& ThroughputLimiter::sharedInstance() {
    static ThroughputLimiter* shared = [] {
        std::function<std::unique_ptr<ThroughputLimiter>()> maker;
        {
            std::lock_guard guard(sharedMutex);
            maker = sharedMaker;
        }
        if (!maker) {
            SystemLog::log("the shaping engine was asked for before the application configured it");
            std::abort();
        }
        // The application's engine lives until the process ends.
        return maker().release();
    }();
    return *shared;
}

void ThroughputLimiter::configureShared(std::function<std::unique_ptr<ThroughputLimiter>()> maker) {
    std::lock_guard guard(sharedMutex);
    sharedMaker = std::move(maker);
}

// ---- services -----------------------------------------------------------------------------

int ThroughputLimiter::addULService(const std::shared_ptr<Service>& service) {
    const int port = service->servicePort();
    {
        std::lock_guard guard(setOtherLock);
        if (cappedULServices.contains(port) || port == 0) {
            return 0;
        }
    }
    if (rule_->applyRule(port) < 0) {
        postProblem(
            "Error : Can't create rule for this Service",
            "There is no free rule left.\nIf you are using a FireWall, please move it's own "
            "rules to higher numbers.",
            false);
        return -1;
    }
    std::lock_guard guard(setOtherLock);
    cappedULServices[port] = service;
    return 0;
}

int ThroughputLimiter::removeULService(const std::shared_ptr<Service>& service) {
    const int port = service->servicePort();
    {
        std::lock_guard guard(setOtherLock);
        if (!cappedULServices.contains(port)) {
            return 0;
        }
    }
    if (rule_->derule(port) < 0) {
        postProblem(
            "Error : Can't remove rule for this Service",
            "There is a problem with ipfw command.\nIf you are using a FireWall, please quit "
            "it and launch it before Quellbox.",
            false);
        return -1;
    }
    std::lock_guard guard(setOtherLock);
    cappedULServices.erase(port);
    return 0;
}

int ThroughputLimiter::addDLService(const std::shared_ptr<Service>& service) {
    const int result = addULService(service);
    if (result == 0) {
        std::lock_guard guard(setOtherLock);
        cappedDLServices[service->servicePort()] = service;
    }
    return result;
}

int ThroughputLimiter::removeDLService(const std::shared_ptr<Service>& service) {
    std::lock_guard guard(setOtherLock);
    cappedDLServices.erase(service->servicePort());
    return 0;
}

bool ThroughputLimiter::isCappedUL(int port) const {
    std::lock_guard guard(setOtherLock);
    return cappedULServices.contains(port);
}

bool ThroughputLimiter::isCappedDL(int port) const {
    std::lock_guard guard(setOtherLock);
    return cappedDLServices.contains(port);
}

std::optional<std::string> ThroughputLimiter::serviceNameForPort(int port) const {
    std::lock_guard guard(setOtherLock);
    if (auto found = cappedULServices.find(port); found != cappedULServices.end()) {
        return found->second->name();
    }
    return std::nullopt;
}

// ---- shaping values -------------------------------------------------------------------------

int ThroughputLimiter::setDATARate(float rate) {
    DATARate_.store(rate, std::memory_order_relaxed);
    return 0;
}

int ThroughputLimiter::setACKPause(float pause) {
    std::lock_guard guard(downloadRateLock);
    chosenPause_ = std::fabs(pause);
    if (!downloadRate_) {
        ACKPause_.store(chosenPause_, std::memory_order_relaxed);
    }
    return 0;
}

int ThroughputLimiter::setDownloadRate(bool on, float kibPerSecond) {
    if (on && !(std::isfinite(kibPerSecond) && kibPerSecond > 0.0F)) {
        return -1;
    }
    {
        std::lock_guard guard(downloadRateLock);
        if (!on) {
            downloadRate_.reset();
            budget_.reset();
            ACKPause_.store(chosenPause_, std::memory_order_relaxed);
        } else {
            lastDownloadRate_ = kibPerSecond;
            if (downloadRate_) {
                downloadRate_->setRate(kibPerSecond);
                budget_->setRate(downloadRate_->budget(), Clock::now());
            } else {
                downloadRate_.emplace(kibPerSecond);
                budget_.emplace(downloadRate_->budget());
            }
            ACKPause_.store(0.0F, std::memory_order_relaxed);
        }
    }
    budgetChanged();
    return 0;
}

bool ThroughputLimiter::isDownloadRateOn() const {
    std::lock_guard guard(downloadRateLock);
    return downloadRate_.has_value();
}

float ThroughputLimiter::getDownloadRate() const {
    std::lock_guard guard(downloadRateLock);
    return lastDownloadRate_;
}

void ThroughputLimiter::steerDownloadRate() {
    {
        std::lock_guard guard(downloadRateLock);
        if (!downloadRate_) {
            return;
        }
        const auto now = Clock::now();
        const double budget =
            downloadRate_->tick(now, cappedDownloadBytes_.load(std::memory_order_relaxed),
                                heldBack_.exchange(false, std::memory_order_relaxed));
        if (budget == budget_->rate()) {
            return;
        }
        budget_->setRate(budget, now);
    }
    budgetChanged();
}

void ThroughputLimiter::budgetChanged() {
    budgetChanges_.fetch_add(1, std::memory_order_seq_cst);
    // Taken once, so that a waiter between its test and its sleep cannot miss the wake-up.
    { std::lock_guard guard(lifecycleLock); }
    lifecycleChanged_.notify_all();
}

// ---- listeners ------------------------------------------------------------------------------

void ThroughputLimiter::setMaxQueueDelay(std::chrono::milliseconds bound) {
    const auto milliseconds = std::max<std::int64_t>(bound.count(), 0);
    std::lock_guard guard(lifecycleLock);
    maxQueueDelayMs_.store(milliseconds, std::memory_order_relaxed);
    if (prioDataPacketQueue) {
        prioDataPacketQueue->setDelayBound(std::chrono::milliseconds(milliseconds));
    }
}

void ThroughputLimiter::addTrafficListener(std::shared_ptr<TrafficListener> listener) {
    std::lock_guard guard(listenerLock);
    listenerArray.push_back(std::move(listener));
}

void ThroughputLimiter::removeTrafficListener(const TrafficListener* listener) {
    std::lock_guard guard(listenerLock);
    std::erase_if(listenerArray, [listener](const auto& l) { return l.get() == listener; });
}

template <typename Call>
void ThroughputLimiter::forEachListener(Call call) {
    // The count is read again before each step, so a listener added meanwhile is reached; the
    // lock is not held during the call, so a listener may change the list.
    for (std::size_t i = 0;; ++i) {
        std::shared_ptr<TrafficListener> listener;
        {
            std::lock_guard guard(listenerLock);
            if (i >= listenerArray.size()) {
                return;
            }
            listener = listenerArray[i];
        }
        call(*listener);
    }
}

void ThroughputLimiter::fireAllEventsToListeners() {
    forEachListener([this](TrafficListener& listener) {
        listener.ackReceived(static_cast<double>(lastACKPacketSize()));
        listener.dataReceived(static_cast<double>(lastDATAPacketSize()));
        listener.queueSizeChanged(static_cast<double>(queueSize()));
    });
}

void ThroughputLimiter::fireAckEventToListeners(double bytes) {
    forEachListener([bytes](TrafficListener& listener) { listener.ackReceived(bytes); });
}

void ThroughputLimiter::fireDataEventToListeners(double bytes) {
    forEachListener([bytes](TrafficListener& listener) { listener.dataReceived(bytes); });
}

void ThroughputLimiter::fireQueueSizeEventToListeners(double packets) {
    forEachListener([packets](TrafficListener& listener) { listener.queueSizeChanged(packets); });
}

void ThroughputLimiter::fireRefreshEventToListeners() {
    forEachListener([](TrafficListener& listener) { listener.refreshView(); });
}

void ThroughputLimiter::scheduleGaugeTimer() {
    std::lock_guard guard(timerLock);
    if (!jaugesTimer) {
        jaugesTimer = mainRunLoop_.scheduleRepeatingTimer(kGaugeInterval, [this] { gaugeTick(); });
    }
}

void ThroughputLimiter::gaugeTick() {
    steerDownloadRate();
    fireAllEventsToListeners();
}

void ThroughputLimiter::stopGaugeTimer() {
    std::optional<RunLoop::TimerId> timer;
    {
        std::lock_guard guard(timerLock);
        timer.swap(jaugesTimer);
    }
    if (timer) {
        mainRunLoop_.invalidateTimer(*timer);
    }
}

void ThroughputLimiter::postProblem(const std::string& title, const std::string& message,
                                    bool needToQuit) {
    notifications_.postNotification(
        kProblemNotification, this,
        {{"title", title}, {"msg", message}, {"needToQuitAfterAlert", needToQuit}});
}

// ---- the reading thread -----------------------------------------------------------------------

bool ThroughputLimiter::waitUntilStarted(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lifecycleLock);
    lifecycleChanged_.wait_for(guard, timeout, [this] { return startUpDone_; });
    return isRunning();
}

void ThroughputLimiter::processPacket() {
    const std::string address = rule_->ipAdr();
    bool started = false;
    std::uint32_t ownAddress = 0;
    if (!address.empty()) {
        ownAddress = GenericIPTable::convertStringToLong(address);
        started = startUp();
    }
    {
        std::lock_guard guard(lifecycleLock);
        startUpDone_ = true;
    }
    lifecycleChanged_.notify_all();
    if (started) {
        readingLoop(ownAddress);
    }
}

bool ThroughputLimiter::startUp() {
    {
        std::lock_guard guard(lifecycleLock);
        if (stopping()) {
            return false;
        }
        prioDataPacketQueue = std::make_unique<priorityQueue>(random_);
        prioDataPacketQueue->setDelayBound(maxQueueDelay());
        firstACKPacketQueue = std::make_unique<Queue>(random_);
        secondACKPacketQueue = std::make_unique<Queue>(random_);
        dataQueue_.store(prioDataPacketQueue.get(), std::memory_order_release);
    }

    if (socket_->open() < 0) {
        const int savedErrno = errno;
        postProblem("Error : Quellbox can't create the divert socket for ipfw", kPrivilegesMessage,
                    true);
        errno = savedErrno;
        SystemLog::reportError("Quellbox Error : divert socket not created !");
        return false;
    }
    if (socket_->bind(kDivertPort) < 0) {
        postProblem("Error : Quellbox can't bind the divert socket for ipfw", kPrivilegesMessage,
                    true);
        socket_->close();
        return false;
    }

    std::lock_guard guard(lifecycleLock);
    if (stopping()) {
        socket_->close();  // the destructor closed it before it was open
        return false;
    }
    workerThreads_.emplace_back([this] { ACKDirectSend(); });
    workerThreads_.emplace_back([this] { ACKSlowDown(); });
    workerThreads_.emplace_back([this] { dataSlowDown(); });
    workerThreads_.emplace_back([this] { flushingThread(); });
    running_.store(true, std::memory_order_release);
    return true;
}

void ThroughputLimiter::readingLoop(std::uint32_t ownAddress) {
    std::vector<std::uint8_t> buffer(Packet::maximumSize);
    std::int32_t runningMaximum = kDefaultRunningMaximum;
    while (!stopping()) {
        auto packet = std::make_unique<Packet>();
        const ssize_t length = socket_->receive(buffer.data(), buffer.size(), packet->getAddress(),
                                                packet->getAddressSize());
        if (length < 0) {
            if (stopping()) {
                break;
            }
            if (errno == EMSGSIZE) {
                continue;  // too large for any IPv4 packet: the backend let it pass unchanged
            }
            const int savedErrno = errno;
            postProblem("Error : Quellbox encountered an error when reading the divert socket !",
                        "Please quit and relaunch it.", false);
            errno = savedErrno;
            SystemLog::reportError("Quellbox Error : read from divert socket");
            socket_->close();
            break;  // the failed read is not a packet: nothing is classified or forwarded
        }
        packet->setPacketSize(static_cast<std::int32_t>(length));
        std::memcpy(packet->rawPacket(), buffer.data(), static_cast<std::size_t>(length));
        packet->setReleaser(this);
        packetsRead_.fetch_add(1, std::memory_order_seq_cst);
        if (standByWaiting_.load(std::memory_order_seq_cst)) {
            { std::lock_guard guard(lifecycleLock); }
            lifecycleChanged_.notify_all();
        }
        classify(std::move(packet), ownAddress, runningMaximum);
    }
    running_.store(false, std::memory_order_release);
}

void ThroughputLimiter::classify(std::unique_ptr<Packet> packet, std::uint32_t ownAddress,
                                 std::int32_t& runningMaximum) {
    const std::int32_t length = packet->getPacketSize();
    const auto header = PacketHeader::parse(packet->rawPacket(), static_cast<std::size_t>(length));
    if (!header) {
        // Too short for the fields the sorting reads: pass it on unchanged rather than judge
        // it by bytes it does not have.
        malformed_.fetch_add(1, std::memory_order_relaxed);
        writeBack(*packet, kAckWriteFailure);
        return;
    }
    packet->setWireSize(header->wireBytes(length));
    // A data segment sorted with the acknowledgements for its PSH flag would overtake the
    // DATA packets of its flow waiting before it; a Linux sender whose upload is held back
    // sets PSH on many full segments, and reads that reordering as loss (spurious resending,
    // a rate well below the cap). While DATA of its own flow waits, such a segment queues
    // with it; a segment of an idle flow (a short interactive message) leaves at once.
    // A super-packet with PSH is many full segments of which only the last would carry the
    // flag once cut, and that one would wait behind the others: it waits as DATA.
    bool downloadCapped = false;
    bool fromLocalClient = false;
    {
        std::lock_guard guard(setOtherLock);
        downloadCapped = cappedDLServices.contains(header->sourcePort) ||
                         cappedDLServices.contains(header->destinationPort);
        fromLocalClient = !cappedULServices.contains(header->sourcePort);
    }
    packet->setHeader(*header);
    packet->setNewlyAcknowledged(countDownload(*header, downloadCapped));
    const FlowKey flow = header->flow();
    const auto overtakesData = [&] {
        return header->carriesData(length) && length > PacketHeader::kLargestAckSize &&
               (header->flags & PacketHeader::kSyn) == 0 &&
               (length > PacketHeader::kLargestSegmentSize || dataBacklog_.holdsData(flow));
    };
    if (header->isAckClass(length) && !overtakesData()) {
        packet->setType("ACK");
        const std::uint32_t acknowledged = packet->newlyAcknowledged();
        if (!(downloadCapped ? *secondACKPacketQueue : *firstACKPacketQueue)
                 .enqueue(std::move(packet))) {
            countRefused();
            if (downloadCapped) {
                unspentBytes_.fetch_add(acknowledged, std::memory_order_relaxed);
            }
        }
        return;
    }

    packet->setType("DATA");
    packet->setFlow(flow);
    packet->holdBacklogTicket(dataBacklog_.admit(flow));
    if (fromLocalClient) {
        packet->setSourceType("Client");
    }
    if (header->destination != ownAddress) {
        if (!ipmode_.isActivated()) {
            runningMaximum = kDefaultRunningMaximum;
        } else {
            runningMaximum = priorityTraffic_.assign(
                *packet, header->destination, header->sourcePort, header->destinationPort,
                fromLocalClient, std::chrono::system_clock::now());
        }
    }
    if (!prioDataPacketQueue->enqueue(std::move(packet), runningMaximum)) {
        countRefused();
    }
}

void ThroughputLimiter::countRefused() {
    // Closed queues refuse everything once the engine stops: a release at shutdown, not a
    // drop of a full queue.
    if (!stopping()) {
        refused_.fetch_add(1, std::memory_order_relaxed);
    }
}

// Counted here, as the packets are read, rather than as they are written back: this thread
// sees every packet of a flow in the order its sender sent it, acknowledgements and DATA
// alike, and alone, so the table needs no lock. Written back, a DATA packet that waited for
// its turn would carry an older acknowledgement number than the acknowledgements that
// overtook it, and three threads would share the table. The bytes an acknowledgement
// acknowledges have reached the local side when it is read; holding it back only slows
// what comes next.
std::uint32_t ThroughputLimiter::countDownload(const PacketHeader& header, bool downloadCapped) {
    const std::uint32_t bytes = acknowledged_.count(header);
    if (bytes != 0) {
        downloadBytes_.fetch_add(bytes, std::memory_order_relaxed);
        if (downloadCapped) {
            cappedDownloadBytes_.fetch_add(bytes, std::memory_order_relaxed);
        }
    }
    return bytes;
}

// ---- writing back -----------------------------------------------------------------------------

bool ThroughputLimiter::writeBack(Packet& packet, const char* failureMessage) {
    ssize_t written = 0;
    {
        std::lock_guard guard(socketLock);
        written =
            socket_->send(packet.rawPacket(), static_cast<std::size_t>(packet.getPacketSize()),
                          *packet.getAddress(), *packet.getAddressSize());
    }
    if (written < 0) {
        writeFailures_.fetch_add(1, std::memory_order_relaxed);
        SystemLog::reportError(failureMessage);
        return false;  // unsent: destroying the packet has the kernel drop it
    }
    packet.markSent();
    writtenBack_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void ThroughputLimiter::chargeUnpacedData(const Packet& packet) {
    // A real sender whose upload is held back marks many full segments with PSH (each time
    // its buffer-full write wakes up): unpaced, they would add a tenth or more to the rate.
    const std::int32_t size = packet.wireSize();
    const auto& header = packet.header();
    if (size <= PacketHeader::kLargestAckSize ||
        (header && !header->carriesData(packet.getPacketSize()))) {
        ackBytes_.fetch_add(static_cast<std::uint64_t>(size), std::memory_order_relaxed);
        return;
    }
    unpacedDataBytes_.fetch_add(static_cast<std::uint64_t>(size), std::memory_order_relaxed);
    const float rate = getDATARate();
    if (rate > 0.0F) {
        std::lock_guard guard(pacingLock);
        pacing_.charge(size, rate, Clock::now());
    }
}

void ThroughputLimiter::releaseUnsent(const Packet& packet) {
    std::lock_guard guard(socketLock);
    socket_->drop(*packet.getAddress(), *packet.getAddressSize());
}

bool ThroughputLimiter::sleepUntil(Clock::time_point deadline) {
    std::unique_lock guard(lifecycleLock);
    return !lifecycleChanged_.wait_until(guard, deadline, [this] { return stopping(); });
}

bool ThroughputLimiter::sleepUntil(Clock::time_point deadline, std::uint64_t seen) {
    std::unique_lock guard(lifecycleLock);
    lifecycleChanged_.wait_until(guard, deadline, [this, seen] {
        return stopping() || budgetChanges_.load(std::memory_order_seq_cst) != seen;
    });
    return !stopping();
}

void ThroughputLimiter::ACKDirectSend() {
    while (PacketPtr packet = firstACKPacketQueue->dequeue()) {
        if (writeBack(*packet, kAckWriteFailure)) {
            chargeUnpacedData(*packet);
        }
        lastACKPacketSize_.store(packet->getPacketSize(), std::memory_order_relaxed);
    }
}

void ThroughputLimiter::ACKSlowDown() {
    while (PacketPtr packet = secondACKPacketQueue->dequeue()) {
        if (!holdBack(*packet)) {
            return;
        }
        if (writeBack(*packet, kAckWriteFailure)) {
            chargeUnpacedData(*packet);
        }
        lastACKPacketSize_.store(packet->getPacketSize(), std::memory_order_relaxed);
    }
}

// In the download rate mode an acknowledgement waits until the budget holds what it newly
// acknowledges; the queue keeps them in the order they were read, so a duplicate waits
// only for those before it. The budget is read afresh whenever it changes, since a wait
// at a low rate may last seconds.
bool ThroughputLimiter::holdBack(const Packet& packet) {
    const std::uint64_t bytes =
        packet.newlyAcknowledged() + unspentBytes_.exchange(0, std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t seen = budgetChanges_.load(std::memory_order_seq_cst);
        Clock::time_point release;
        {
            std::lock_guard guard(downloadRateLock);
            if (!budget_) {
                break;  // the pause mode
            }
            const auto now = Clock::now();
            release = budget_->releaseTime(bytes, now);
            if (release <= now) {
                budget_->spend(bytes, now);
                return true;
            }
        }
        heldBack_.store(true, std::memory_order_relaxed);
        if (!sleepUntil(release, seen)) {
            return false;
        }
    }
    // The whole pause, whole microseconds, however long (also a second or more).
    const auto pause = std::chrono::microseconds(
        static_cast<std::int64_t>(ACKPause_.load(std::memory_order_relaxed)));
    return pause.count() == 0 || sleepUntil(Clock::now() + pause);
}

void ThroughputLimiter::dataSlowDown() {
    // Sleeps here are short and many; the default 50 us of timer slack would add up.
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0) {
        SystemLog::reportError("Quellbox Error : timer slack not lowered");
    }
    for (;;) {
        const bool afterIdleGap = prioDataPacketQueue->isEmpty();
        PacketPtr packet;
        if (ipmode_.isActivated()) {
            const std::int32_t factor = priorityFactor();
            // A priority step of 0 would make every climb drop: treat it as no loss.
            const float loss = factor != 0 ? getDATARate() / static_cast<float>(factor) : 0.0F;
            packet = prioDataPacketQueue->dequeueWithPrioWithLossProb(loss);
        } else {
            packet = prioDataPacketQueue->dequeue();
        }
        if (!packet) {
            return;  // closed: the engine stops
        }
        const std::int32_t length = packet->getPacketSize();
        const std::int32_t size = packet->wireSize();
        const float rate = getDATARate();
        if (ipmode_.isActivated()) {
            if (const auto& header = packet->header()) {
                priorityTraffic_.count(header->destination, size, std::chrono::system_clock::now());
            }
        }
        lastDATAPacketSize_.store(length, std::memory_order_relaxed);
        queueSize_.store(prioDataPacketQueue->size(), std::memory_order_relaxed);
        if (writeBack(*packet, kDataWriteFailure)) {
            dataBytes_.fetch_add(static_cast<std::uint64_t>(size), std::memory_order_relaxed);
        }
        // At once: a PSH segment of this flow read from now on has nothing left to overtake.
        packet->leaveBacklog();
        packet.reset();
        if (rate > 0.0F) {
            const auto now = Clock::now();
            Clock::time_point next;
            {
                std::lock_guard guard(pacingLock);
                next = pacing_.packetSent(size, rate, now, afterIdleGap);
            }
            // Arming a timer costs tens of microseconds (more in a virtual machine), longer
            // than a packet lasts at high rates: a lead shorter than this is kept instead of
            // slept off. The deadlines still advance by each packet's time, so the rate holds
            // exactly; only a burst of at most this much time can leave early.
            if (next - now > kShortestPacingSleep && !sleepUntil(next)) {
                return;
            }
        } else {
            std::lock_guard guard(pacingLock);
            pacing_.reset();
        }
    }
}

void ThroughputLimiter::flushingThread() {
    bool standBy = true;
    auto packetArrivedWithin = [this](std::optional<Clock::duration> limit) {
        const std::uint64_t seen = packetsRead_.load(std::memory_order_seq_cst);
        standByWaiting_.store(true, std::memory_order_seq_cst);
        std::unique_lock guard(lifecycleLock);
        auto arrived = [&] {
            return stopping() || packetsRead_.load(std::memory_order_seq_cst) != seen;
        };
        bool result = true;
        if (limit) {
            result = lifecycleChanged_.wait_for(guard, *limit, arrived);
        } else {
            lifecycleChanged_.wait(guard, arrived);
        }
        standByWaiting_.store(false, std::memory_order_seq_cst);
        return result;
    };

    while (!stopping()) {
        if (ipmode_.isActivated()) {
            standBy = priorityTraffic_.housekeeping();
        }
        if (!packetArrivedWithin(kIdleTest)) {
            lastACKPacketSize_.store(0, std::memory_order_relaxed);
            lastDATAPacketSize_.store(0, std::memory_order_relaxed);
            fireAllEventsToListeners();
            if (standBy) {
                stopGaugeTimer();
                inStandBy_.store(true, std::memory_order_release);
                packetArrivedWithin(std::nullopt);
                inStandBy_.store(false, std::memory_order_release);
                if (stopping()) {
                    return;
                }
                scheduleGaugeTimer();
            }
        }
        if (!sleepUntil(Clock::now() + kFlushCycle)) {
            return;
        }
    }
}

ThroughputLimiter::Counters ThroughputLimiter::counters() const {
    Counters counters;
    counters.read = packetsRead_.load(std::memory_order_relaxed);
    counters.writtenBack = writtenBack_.load(std::memory_order_relaxed);
    counters.writeFailures = writeFailures_.load(std::memory_order_relaxed);
    counters.malformed = malformed_.load(std::memory_order_relaxed);
    counters.dataBytes = dataBytes_.load(std::memory_order_relaxed);
    counters.unpacedDataBytes = unpacedDataBytes_.load(std::memory_order_relaxed);
    counters.ackBytes = ackBytes_.load(std::memory_order_relaxed);
    counters.downloadBytes = downloadBytes_.load(std::memory_order_relaxed);
    counters.droppedQueueFull = refused_.load(std::memory_order_relaxed);
    if (const priorityQueue* queue = dataQueue_.load(std::memory_order_acquire)) {
        counters.droppedByPriority = queue->droppedByChance();
        counters.droppedForDelay = queue->droppedForDelay();
    }
    return counters;
}

}  // namespace quellbox
