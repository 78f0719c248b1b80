#include "control/ControlChannel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "control/ControlCodec.h"

namespace quellbox::control {

ControlChannel::ControlChannel(int fd) : fd_(fd) {}

ControlChannel::~ControlChannel() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ControlChannel::send(const Message& message) {
    const std::vector<std::uint8_t> frame = ControlCodec::encode(message);
    std::lock_guard guard(sendLock_);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        // MSG_NOSIGNAL: a peer that is gone is an answer (EPIPE), not a SIGPIPE.
        const ssize_t n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

ControlChannel::ReadOutcome ControlChannel::readExactly(std::uint8_t* into, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd_, into + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ReadOutcome::Failed;
        }
        if (n == 0) {
            return done == 0 ? ReadOutcome::Closed : ReadOutcome::Failed;
        }
        done += static_cast<std::size_t>(n);
    }
    return ReadOutcome::Complete;
}

std::optional<Message> ControlChannel::receive(std::string& error) {
    error.clear();
    std::uint8_t header[ControlCodec::kHeaderBytes];
    switch (readExactly(header, sizeof header)) {
        case ReadOutcome::Complete:
            break;
        case ReadOutcome::Closed:
            return std::nullopt;
        case ReadOutcome::Failed:
            error = errno != 0 ? std::string("control connection: ") + std::strerror(errno)
                               : "control connection closed inside a message";
            return std::nullopt;
    }
    const auto length = ControlCodec::bodyLength(header, error);
    if (!length) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> body(*length);
    errno = 0;
    if (readExactly(body.data(), body.size()) != ReadOutcome::Complete) {
        error = errno != 0 ? std::string("control connection: ") + std::strerror(errno)
                           : "control connection closed inside a message";
        return std::nullopt;
    }
    return ControlCodec::decode(body.data(), body.size(), error);
}

void ControlChannel::shutdown() { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace quellbox::control
