#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "headless/MetricsExposition.h"
#include "headless/MetricsServer.h"

namespace quellbox {

class IPMode;
class ThroughputLimiter;
struct MetricsAddress;

// The headless mode's metrics endpoint (--metrics): the HTTP server and what each scrape
// reads. The engine's counters and gauges are atomics, read at the scrape on the server's
// threads. Priority Mode's clients live in tables that the packet path locks, so the main
// thread copies them at each status tick and a scrape takes that copy under a lock of its
// own: a scrape never waits for the engine, nor the engine for a scrape.
class MetricsEndpoint {
public:
    MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Opens the listening socket; false, with the reason, when it can't.
    bool listen(const MetricsAddress& address, std::string& error);
    // The port listened on.
    int port() const { return server_.port(); }
    // Starts answering scrapes with the figures of this engine and Priority Mode, which
    // outlive the endpoint.
    void start(const ThroughputLimiter& engine, const IPMode& ipmode);
    // On the main thread, at each status tick: copies Priority Mode's active clients.
    void copyClients();
    // What a scrape shows now.
    MetricsExposition reading() const;

private:
    const ThroughputLimiter* engine_ = nullptr;  // set before the server starts, then fixed
    const IPMode* ipmode_ = nullptr;             // likewise
    mutable std::mutex clientsLock_;
    std::vector<MetricsExposition::Client> clients_;  // guarded by clientsLock_
    MetricsServer server_;  // last: its threads end before the members they read go
};

}  // namespace quellbox
