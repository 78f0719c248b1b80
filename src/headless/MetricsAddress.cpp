#include "headless/MetricsAddress.h"

#include <arpa/inet.h>

#include <charconv>

namespace quellbox {

namespace {

constexpr int kHighestPort = 65535;

std::optional<int> parsePort(const std::string& text) {
    int port = -1;
    const char* end = text.data() + text.size();
    // Digits only: from_chars takes no plus sign or space, but a minus sign.
    if (text.empty() || text.size() > 5 || text.front() == '-') {
        return std::nullopt;
    }
    const auto [stop, failure] = std::from_chars(text.data(), end, port);
    if (failure != std::errc() || stop != end || port > kHighestPort) {
        return std::nullopt;
    }
    return port;
}

}  // namespace

std::optional<MetricsAddress> MetricsAddress::parse(const std::string& text, std::string& error) {
    MetricsAddress address;
    const auto colon = text.rfind(':');
    const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    if (colon != std::string::npos) {
        address.host = text.substr(0, colon);
        in_addr parsed{};
        // inet_pton takes the four-part dotted form only, unlike inet_aton.
        if (::inet_pton(AF_INET, address.host.c_str(), &parsed) != 1) {
            error = "--metrics: '" + address.host +
                    "' is no IPv4 address (give A.B.C.D:PORT, or PORT for " + kLoopback + ")";
            return std::nullopt;
        }
    }
    const auto port = parsePort(portText);
    if (!port) {
        error = "--metrics: '" + portText + "' is no port from 0 to 65535";
        return std::nullopt;
    }
    address.port = *port;
    return address;
}

std::string MetricsAddress::text() const { return host + ":" + std::to_string(port); }

}  // namespace quellbox
