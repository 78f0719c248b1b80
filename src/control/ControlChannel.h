#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "control/ControlMessage.h"

namespace quellbox::control {

// One end of the control connection (a stream socket of a socket pair): whole messages out,
// whole messages in. Sending is safe from several threads at once (the engine's threads send
// events while its control thread answers); receiving belongs to one thread.
class ControlChannel {
public:
    // Takes ownership of `fd`.
    explicit ControlChannel(int fd);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    int fd() const { return fd_; }

    // False when the peer is gone or the write failed.
    bool send(const Message& message);
    // Blocks for the next message. Nothing at the peer's orderly close (`error` empty) or on a
    // failure or a message this side refuses (`error` says which); the connection is of no
    // further use then.
    std::optional<Message> receive(std::string& error);
    // Ends both directions: a thread blocked in receive() returns, the peer sees the close.
    void shutdown();

private:
    enum class ReadOutcome { Complete, Closed, Failed };
    ReadOutcome readExactly(std::uint8_t* into, std::size_t length);

    int fd_;
    std::mutex sendLock_;
};

}  // namespace quellbox::control
