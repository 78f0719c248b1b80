#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace quellbox {

struct MetricsAddress;

// The HTTP side of the metrics: answers GET /metrics with the text `render` makes, and every
// other path with 404. It reads no file and runs no handler but that one. The server listens
// on a thread of its own and answers on another (httplib's), so a slow or stalled client
// never holds up the caller, and `render` runs on that thread.
class MetricsServer {
public:
    using Render = std::function<std::string()>;

    explicit MetricsServer(Render render);
    // Stops listening and waits for the threads.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Opens the listening socket; false, with the reason, when the address is not this
    // machine's, the port is taken or not ours to use.
    bool bind(const MetricsAddress& address, std::string& error);
    // The bound port (the kernel's choice for port 0); 0 before bind.
    int port() const { return port_; }
    // Starts answering, once bound.
    void start();

private:
    Render render_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable listenerEnded_;
    bool listening_ = false;  // guarded by mutex_: the listener thread has not ended
    std::thread listener_;
};

}  // namespace quellbox
