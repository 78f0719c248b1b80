#include "headless/MetricsEndpoint.h"

#include "engine/ThroughputLimiter.h"
#include "headless/MetricsAddress.h"
#include "prioritymode/GenericIPTable.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/UserInfo.h"

namespace quellbox {

MetricsEndpoint::MetricsEndpoint() : server_([this] { return reading().text(); }) {}

bool MetricsEndpoint::listen(const MetricsAddress& address, std::string& error) {
    return server_.bind(address, error);
}

void MetricsEndpoint::start(const ThroughputLimiter& engine, const IPMode& ipmode) {
    engine_ = &engine;
    ipmode_ = &ipmode;
    server_.start();
}

void MetricsEndpoint::copyClients() {
    std::vector<MetricsExposition::Client> clients;
    IPTable* active = ipmode_->isActivated() ? ipmode_->ipTable() : nullptr;
    if (active != nullptr) {
        for (const std::uint32_t ip : active->ipArray()) {
            if (const auto info = active->userInfoForIPLong(ip)) {
                clients.push_back({GenericIPTable::convertLongToString(ip), info->login(),
                                   info->priority(), info->bytesSent()});
            }
        }
    }
    std::lock_guard guard(clientsLock_);
    clients_.swap(clients);
}

MetricsExposition MetricsEndpoint::reading() const {
    MetricsExposition reading;
    reading.counters = engine_->counters();
    reading.queuePackets = engine_->queueSize();
    reading.rateCap = engine_->getDATARate();
    reading.ackPause = engine_->getACKPause();
    reading.priorityMode = ipmode_->isActivated();
    std::lock_guard guard(clientsLock_);
    reading.clients = clients_;
    return reading;
}

}  // namespace quellbox
