#include "headless/MetricsServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "headless/MetricsAddress.h"
#include "headless/PrometheusText.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// One: a scrape takes microseconds, and Debian's httplib (not built for ThreadSanitizer)
// shows unexplained races between two of its answering threads.
constexpr std::size_t kAnsweringThreads = 1;
// Short: a connection that sends nothing holds an answering thread this long, and the stop
// waits for it. A scrape's request comes at once.
constexpr time_t kReadTimeoutSeconds = 2;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr std::size_t kRequestsPerConnection = 20;
constexpr auto kStartWait = std::chrono::milliseconds(10);

// httplib's default adds SO_REUSEPORT, with which a second program of the same user could
// bind the same port and take half the scrapes; SO_REUSEADDR alone lets a restart bind again
// while old connections linger. httplib opens the socket without close-on-exec: the programs
// the engine runs (the firewall's, with its capabilities) must not inherit it.
void prepareListeningSocket(int socket) {
    const int yes = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0) {
        SystemLog::reportError("Quellbox Error : metrics socket option SO_REUSEADDR not set");
    }
    if (::fcntl(socket, F_SETFD, FD_CLOEXEC) != 0) {
        SystemLog::reportError("Quellbox Error : metrics socket not closed on exec");
    }
}

}  // namespace

MetricsServer::MetricsServer(Render render)
    : render_(std::move(render)), server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kAnsweringThreads); };
    server_->set_socket_options(prepareListeningSocket);
    server_->set_read_timeout(kReadTimeoutSeconds);
    server_->set_write_timeout(kWriteTimeoutSeconds);
    server_->set_keep_alive_timeout(kReadTimeoutSeconds);
    server_->set_keep_alive_max_count(kRequestsPerConnection);
    // A scrape has no body.
    server_->set_payload_max_length(0);
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(render_(), PrometheusText::kContentType);
    });
}

MetricsServer::~MetricsServer() {
    {
        // httplib's stop() only acts once the listener has marked itself running, which a
        // thread just started may not have done yet. The listener ends once the connections
        // in progress are answered or time out.
        std::unique_lock lock(mutex_);
        while (listening_) {
            if (server_->is_running()) {
                server_->stop();
                listenerEnded_.wait(lock, [this] { return !listening_; });
            } else {
                listenerEnded_.wait_for(lock, kStartWait, [this] { return !listening_; });
            }
        }
    }
    if (listener_.joinable()) {
        listener_.join();
    }
}

bool MetricsServer::bind(const MetricsAddress& address, std::string& error) {
    errno = 0;
    const int port = address.port == 0 ? server_->bind_to_any_port(address.host)
                     : server_->bind_to_port(address.host, address.port) ? address.port
                                                                         : -1;
    if (port <= 0) {
        error = "can't serve the metrics on " + address.text() + ": " +
                (errno != 0 ? std::strerror(errno) : "the address can't be bound");
        return false;
    }
    port_ = port;
    return true;
}

void MetricsServer::start() {
    {
        std::lock_guard lock(mutex_);
        listening_ = true;
    }
    listener_ = std::thread([this] {
        // A stop answers true; false is a failed accept, after which nothing is served.
        if (!server_->listen_after_bind()) {
            SystemLog::reportError("Quellbox Error : the metrics server stopped accepting");
        }
        {
            std::lock_guard lock(mutex_);
            listening_ = false;
        }
        listenerEnded_.notify_all();
    });
}

}  // namespace quellbox
