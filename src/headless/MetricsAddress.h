#pragma once

#include <optional>
#include <string>

namespace quellbox {

// Where the metrics endpoint listens: a numeric IPv4 address and a TCP port. Without an
// address it is the loopback one, so that listening beyond this machine is always asked for.
struct MetricsAddress {
    static constexpr const char* kLoopback = "127.0.0.1";

    std::string host = kLoopback;
    int port = 0;  // 0: a free port the kernel picks

    // "PORT" or "A.B.C.D:PORT", PORT from 0 to 65535. Nothing for anything else (a host
    // name, a short or hexadecimal address, a port out of range), with the reason in `error`.
    static std::optional<MetricsAddress> parse(const std::string& text, std::string& error);
    // "A.B.C.D:PORT".
    std::string text() const;
};

}  // namespace quellbox
