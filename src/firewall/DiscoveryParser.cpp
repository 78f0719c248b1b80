#include "firewall/DiscoveryParser.h"

namespace quellbox {

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t'; }
constexpr std::string_view kDefault = "default";
constexpr std::string_view kInet = "inet ";
}  // namespace

std::string DiscoveryParser::defaultRouteInterface(std::string_view routes) {
    const auto found = routes.find(kDefault);
    if (found == std::string_view::npos) {
        return {};
    }
    // The columns after "default" are gateway, flags, references, use and interface: five
    // times skip a word and the blanks after it.
    std::string_view rest = routes.substr(found + kDefault.size());
    std::size_t at = 0;
    for (int column = 0; column < 5; ++column) {
        while (at < rest.size() && !isBlank(rest[at])) {
            ++at;
        }
        while (at < rest.size() && isBlank(rest[at])) {
            ++at;
        }
    }
    rest = rest.substr(at);
    return std::string(rest.substr(0, rest.find('\n')));
}

std::string DiscoveryParser::modemInterface(std::string_view listing) {
    const auto ppp = listing.find("ppp");
    return ppp == std::string_view::npos ? std::string() : std::string(listing.substr(ppp, 4));
}

std::string DiscoveryParser::inetAddress(std::string_view listing) {
    const auto found = listing.find(kInet);
    if (found == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = listing.substr(found + kInet.size());
    // The address ends at the next blank; a line end ends it too, so that an address at the
    // end of its line does not drag the following lines along.
    return std::string(rest.substr(0, rest.find_first_of(" \t\n")));
}

}  // namespace quellbox
