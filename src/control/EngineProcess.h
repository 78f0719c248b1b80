#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quellbox::control {

// The engine program as a child process joined to this one by a socket pair: the child gets
// its end as `--control-fd N`, this process keeps the other. A program that cannot be run
// (missing, or not executable by this user: the engine is for the group quellbox) is
// reported with the system's reason rather than as a connection that closes at once.
class EngineProcess {
public:
    // Nothing, with the reason, when the child cannot be started.
    static std::unique_ptr<EngineProcess> spawn(const std::string& program,
                                                const std::vector<std::string>& arguments,
                                                std::string& error);
    // Waits for the child as finish() does.
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    // This process's end of the socket pair; the caller takes it over.
    int takeSocket();
    pid_t pid() const { return pid_; }
    // Waits up to `grace` for the child to end by itself (the engine winds down when its
    // window closes the connection), then kills it; answers its wait status.
    int finish(std::chrono::milliseconds grace);

private:
    EngineProcess(pid_t pid, int socket) : pid_(pid), socket_(socket) {}

    pid_t pid_;
    int socket_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace quellbox::control
