#include "simulation/SimTraffic.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "firewall/SimKernel.h"
#include "firewall/TcpPacketBuilder.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

constexpr auto kTimeoutCheck = std::chrono::milliseconds(250);
constexpr std::uint16_t kRemotePortBase = 50000;
constexpr std::uint16_t kLocalClientPortBase = 40000;
constexpr int kAcknowledgementSize = 40;
// Where an uploading client's byte numbers begin: just below the wrap of the 32-bit sequence
// space, which every simulated upload so crosses within its first megabyte.
constexpr std::uint32_t kUploadInitialSequence = 0xFFFFFFFFU - 256U * 1024U;

std::chrono::nanoseconds seconds(double value) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(value));
}

std::uint32_t read32(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

}  // namespace

SimTraffic::SimTraffic(SimKernel& kernel, SimScenario scenario, std::filesystem::path downloadsLog)
    : kernel_(kernel), downloadsLog_(std::move(downloadsLog)) {
    for (std::size_t i = 0; i < scenario.clients.size(); ++i) {
        Flow flow;
        flow.client = scenario.clients[i];
        const auto index = static_cast<std::uint16_t>(i);
        if (flow.client.kind == SimScenario::Kind::Outgoing) {
            flow.localPort = static_cast<std::uint16_t>(kLocalClientPortBase + index);
            flow.remotePort = static_cast<std::uint16_t>(flow.client.port);
        } else {
            flow.localPort = static_cast<std::uint16_t>(flow.client.port);
            flow.remotePort = static_cast<std::uint16_t>(kRemotePortBase + index);
        }
        flow.acknowledged = kUploadInitialSequence;
        flows_.push_back(std::move(flow));
    }
}

SimTraffic::~SimTraffic() { stop(); }

void SimTraffic::start() {
    observer_ = kernel_.wire().subscribe(
        [this](const std::uint8_t* bytes, std::size_t length, SimWire::Clock::time_point when) {
            departed(bytes, length, when);
        });
    observing_ = true;
    const auto now = Clock::now();
    {
        std::lock_guard guard(mutex_);
        stopping_ = false;
        for (std::size_t i = 0; i < flows_.size(); ++i) {
            events_.emplace(now + seconds(flows_[i].client.start), Event{EventType::Start, i});
            if (flows_[i].client.stop > 0) {
                events_.emplace(now + seconds(flows_[i].client.stop), Event{EventType::Stop, i});
            }
        }
        events_.emplace(now + kTimeoutCheck, Event{EventType::CheckTimeouts, 0});
    }
    thread_ = std::thread([this] { run(); });
}

void SimTraffic::stop() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (observing_) {
        kernel_.wire().unsubscribe(observer_);
        observing_ = false;
    }
}

std::vector<SimTraffic::ClientStats> SimTraffic::snapshot() const {
    std::lock_guard guard(mutex_);
    std::vector<ClientStats> stats;
    for (const auto& flow : flows_) {
        stats.push_back({flow.client.address, flow.client.login, flow.client.screenName,
                         flow.client.kind, flow.client.port, flow.active, flow.deliveredBytes,
                         flow.resent});
    }
    return stats;
}

void SimTraffic::schedule(Clock::time_point when, Event event) {
    const bool earliest = events_.empty() || when < events_.begin()->first;
    events_.emplace(when, event);
    if (earliest) {
        wake_.notify_all();
    }
}

void SimTraffic::run() {
    std::unique_lock guard(mutex_);
    while (!stopping_) {
        if (events_.empty()) {
            wake_.wait(guard, [this] { return stopping_ || !events_.empty(); });
            continue;
        }
        const auto now = Clock::now();
        if (events_.begin()->first > now) {
            wake_.wait_until(guard, events_.begin()->first);
            continue;
        }
        Packets out;
        while (!events_.empty() && events_.begin()->first <= now) {
            const Event event = events_.begin()->second;
            events_.erase(events_.begin());
            handle(event, now, out);
        }
        // The kernel may hand packets straight to the wire, whose observer takes our lock.
        guard.unlock();
        for (const auto& packet : out) {
            kernel_.inject(packet.data(), packet.size());
        }
        guard.lock();
    }
}

void SimTraffic::handle(const Event& event, Clock::time_point now, Packets& out) {
    switch (event.type) {
        case EventType::Start: {
            Flow& flow = flows_[event.flow];
            flow.active = true;
            appendLogLine(flow.client);
            fillWindow(event.flow, now, out);
            break;
        }
        case EventType::Stop:
            flows_[event.flow].active = false;
            break;
        case EventType::Acknowledged: {
            Flow& flow = flows_[event.flow];
            if (flow.inFlight > 0) {
                --flow.inFlight;
            }
            flow.deliveredBytes += static_cast<std::uint64_t>(event.size);
            fillWindow(event.flow, now, out);
            break;
        }
        case EventType::ArrivedAtServer: {
            // The local server acknowledges the segment the remote client uploaded.
            Flow& flow = flows_[event.flow];
            const std::uint32_t sequence = flow.nextSequence++;
            flow.pending[sequence] = Segment{now, event.size};
            // TCP numbers the payload's bytes, not the headers'.
            flow.acknowledged +=
                static_cast<std::uint32_t>(event.size) - TcpPacketBuilder::kHeadersSize;
            out.push_back(serverAcknowledgement(flow, sequence));
            break;
        }
        case EventType::CheckTimeouts:
            for (std::size_t i = 0; i < flows_.size(); ++i) {
                Flow& flow = flows_[i];
                const auto limit = seconds(timeoutSeconds(flow));
                bool expired = false;
                for (auto it = flow.pending.begin(); it != flow.pending.end();) {
                    if (now - it->second.injected > limit) {
                        it = flow.pending.erase(it);
                        flow.inFlight = std::max(0, flow.inFlight - 1);
                        ++flow.resent;
                        expired = true;
                    } else {
                        ++it;
                    }
                }
                if (expired) {
                    flow.backoff = std::min(flow.backoff * 2.0, 64.0);
                }
                fillWindow(i, now, out);
            }
            schedule(now + kTimeoutCheck, Event{EventType::CheckTimeouts, 0});
            break;
    }
}

double SimTraffic::timeoutSeconds(const Flow& flow) const {
    const double estimate =
        3.0 * flow.queueDelaySeconds + 4.0 * flow.client.rttMilliseconds / 1000.0;
    return std::max(1.0, estimate) * flow.backoff;
}

void SimTraffic::fillWindow(std::size_t index, Clock::time_point now, Packets& out) {
    Flow& flow = flows_[index];
    while (flow.active && flow.inFlight < flow.client.window) {
        ++flow.inFlight;
        if (flow.client.kind == SimScenario::Kind::Upload) {
            // The remote client's segment crosses its own link, then half the round trip.
            const int size = flow.client.packetSize;
            const double serialisation = size / (flow.client.demandKiBPerSecond * 1024.0);
            flow.linkFree = std::max(flow.linkFree, now) + seconds(serialisation);
            schedule(flow.linkFree + seconds(flow.client.rttMilliseconds / 2000.0),
                     Event{EventType::ArrivedAtServer, index, size});
        } else {
            out.push_back(dataSegment(flow, now));
        }
    }
}

std::vector<std::uint8_t> SimTraffic::dataSegment(Flow& flow, Clock::time_point now) {
    const std::uint32_t sequence = flow.nextSequence++;
    TcpPacketBuilder builder;
    builder.source = TcpPacketBuilder::address(SimKernel::kLocalAddress);
    builder.sourcePort = flow.localPort;
    builder.destination = flow.client.ip;
    builder.destinationPort = flow.remotePort;
    builder.sequence = sequence;
    builder.identification = static_cast<std::uint16_t>(sequence);
    const bool push = flow.client.pshEvery > 0 &&
                      sequence % static_cast<std::uint32_t>(flow.client.pshEvery) == 0;
    builder.flags =
        push ? (TcpPacketBuilder::kAck | TcpPacketBuilder::kPsh) : TcpPacketBuilder::kAck;
    flow.pending[sequence] = Segment{now, flow.client.packetSize};
    return builder.build(static_cast<std::size_t>(flow.client.packetSize),
                         static_cast<std::uint8_t>(sequence));
}

std::vector<std::uint8_t> SimTraffic::serverAcknowledgement(Flow& flow, std::uint32_t sequence) {
    TcpPacketBuilder builder;
    builder.source = TcpPacketBuilder::address(SimKernel::kLocalAddress);
    builder.sourcePort = flow.localPort;
    builder.destination = flow.client.ip;
    builder.destinationPort = flow.remotePort;
    builder.sequence = sequence;  // how the departure is told apart from the others
    builder.acknowledgement = flow.acknowledged;
    builder.flags = TcpPacketBuilder::kAck;
    return builder.build(kAcknowledgementSize);
}

void SimTraffic::departed(const std::uint8_t* bytes, std::size_t length, Clock::time_point when) {
    if (length < TcpPacketBuilder::kHeadersSize || (bytes[0] & 0x0F) != 5) {
        return;
    }
    const std::uint32_t source = read32(bytes + 12);
    const std::uint32_t destination = read32(bytes + 16);
    if (source != TcpPacketBuilder::address(SimKernel::kLocalAddress)) {
        return;
    }
    const std::uint8_t* tcp = bytes + 20;
    const std::uint16_t sourcePort = read16(tcp);
    const std::uint16_t destinationPort = read16(tcp + 2);
    const std::uint32_t sequence = read32(tcp + 4);

    std::lock_guard guard(mutex_);
    for (std::size_t i = 0; i < flows_.size(); ++i) {
        Flow& flow = flows_[i];
        if (flow.client.ip != destination || flow.localPort != sourcePort ||
            flow.remotePort != destinationPort) {
            continue;
        }
        const auto pending = flow.pending.find(sequence);
        if (pending == flow.pending.end()) {
            return;  // resent meanwhile, or not ours
        }
        const Segment segment = pending->second;
        flow.pending.erase(pending);
        const double delay = std::chrono::duration<double>(when - segment.injected).count();
        flow.queueDelaySeconds = 0.875 * flow.queueDelaySeconds + 0.125 * delay;
        // Once the estimate alone covers the backed-off time-out, the back-off has done its job.
        if (3.0 * flow.queueDelaySeconds >= timeoutSeconds(flow)) {
            flow.backoff = 1.0;
        }
        const auto halfTrip = seconds(flow.client.rttMilliseconds / 2000.0);
        if (flow.client.kind == SimScenario::Kind::Upload) {
            // The server's acknowledgement reaches the uploading client.
            schedule(when + halfTrip, Event{EventType::Acknowledged, i, segment.size});
        } else {
            // The segment crosses to the client over its link; its acknowledgement comes back.
            const double serialisation = segment.size / (flow.client.demandKiBPerSecond * 1024.0);
            flow.linkFree = std::max(flow.linkFree, when + halfTrip) + seconds(serialisation);
            schedule(flow.linkFree + halfTrip, Event{EventType::Acknowledged, i, segment.size});
        }
        return;
    }
}

void SimTraffic::appendLogLine(const SimScenario::Client& client) {
    if (client.login.empty() || downloadsLog_.empty()) {
        return;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
    std::ofstream log(downloadsLog_, std::ios::binary | std::ios::app);
    log << stamp << '\t' << client.address << '\t' << client.login << '\t'
        << (client.screenName.empty() ? client.login : client.screenName) << '\t' << "/Files/demo-"
        << client.login << ".zip" << '\r';
    if (!log) {
        SystemLog::log("can't append to the simulated server log " + downloadsLog_.string());
    }
}

}  // namespace quellbox
