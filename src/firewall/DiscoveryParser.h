#pragma once

#include <string>
#include <string_view>

namespace quellbox {

// Reading the outputs of the routing table and interface listings: the interface of the
// default route, the dial-up interface of the modem case, and an interface's IPv4 address.
// Each answers the empty text when the output does not hold what it looks for.
class DiscoveryParser {
public:
    // The interface column of the line after the first "default" (BSD `netstat -rn` form:
    // destination, gateway, flags, references, use, interface).
    static std::string defaultRouteInterface(std::string_view routes);
    // "ppp" and the character after it, from the first "ppp" in an interface listing.
    static std::string modemInterface(std::string_view listing);
    // The first word after the first "inet " (not "inet6"), up to a blank or a line end.
    static std::string inetAddress(std::string_view listing);
};

}  // namespace quellbox
