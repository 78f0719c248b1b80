// The routing table listing of the nfqueue backend: the kernel's IPv4 routes from
// /proc/net/route in the BSD "netstat -rn" form, whose default route line is
//   default            192.0.2.1          UGSc           0        0    eth0
// (destination, gateway, flags, references, use, interface). Linux's own netstat -rn
// prints no "default" word, and the rule manager looks for it.
#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kUsageError = 64;
constexpr unsigned kRouteUp = 0x0001;
constexpr unsigned kRouteGateway = 0x0002;
constexpr unsigned kRouteHost = 0x0004;

struct Route {
    std::string interfaceName;
    std::uint32_t destination = 0;  // network byte order, as /proc shows it
    std::uint32_t gateway = 0;
    unsigned flags = 0;
    unsigned references = 0;
    unsigned long use = 0;
    unsigned metric = 0;
    std::uint32_t mask = 0;
};

std::string dotted(std::uint32_t networkOrder) {
    in_addr address{};
    address.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

int prefixLength(std::uint32_t networkOrderMask) { return __builtin_popcount(networkOrderMask); }

std::string flagText(const Route& route, bool isDefault) {
    std::string flags = "U";
    if (route.flags & kRouteGateway) flags += 'G';
    if (route.flags & kRouteHost) flags += 'H';
    flags += 'S';
    if (isDefault) flags += 'c';
    return flags;
}

bool readRoutes(const char* path, std::vector<Route>& routes) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    std::string line;
    std::getline(file, line);  // column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        Route route;
        fields >> route.interfaceName >> std::hex >> route.destination >> route.gateway >>
            route.flags >> std::dec >> route.references >> route.use >> route.metric >> std::hex >>
            route.mask;
        if (!fields || !(route.flags & kRouteUp)) {
            continue;
        }
        routes.push_back(route);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-rn") != 0 && std::strcmp(argv[i], "-nr") != 0 &&
            std::strcmp(argv[i], "-r") != 0 && std::strcmp(argv[i], "-n") != 0) {
            std::fprintf(stderr, "usage: quellbox-netstat [-rn]\n");
            return kUsageError;
        }
    }
    const char* path = std::getenv("QUELLBOX_PROC_NET_ROUTE");
    std::vector<Route> routes;
    if (!readRoutes(path != nullptr && *path ? path : "/proc/net/route", routes)) {
        std::perror("quellbox-netstat: /proc/net/route");
        return 1;
    }
    // Default routes first, the preferred (lowest metric) one leading; the rule manager
    // takes the first "default".
    std::stable_sort(routes.begin(), routes.end(), [](const Route& a, const Route& b) {
        const bool aDefault = a.destination == 0 && a.mask == 0;
        const bool bDefault = b.destination == 0 && b.mask == 0;
        if (aDefault != bDefault) {
            return aDefault;
        }
        return aDefault && a.metric < b.metric;
    });
    std::printf("Routing tables\n\nInternet:\n");
    std::printf("%-18s %-18s %-8s %5s %8s %7s\n", "Destination", "Gateway", "Flags", "Refs", "Use",
                "Netif");
    for (const auto& route : routes) {
        const bool isDefault = route.destination == 0 && route.mask == 0;
        std::string destination = isDefault ? "default" : dotted(route.destination);
        if (!isDefault && !(route.flags & kRouteHost)) {
            destination += "/" + std::to_string(prefixLength(route.mask));
        }
        std::string gateway =
            route.flags & kRouteGateway
                ? dotted(route.gateway)
                : "link#" + std::to_string(if_nametoindex(route.interfaceName.c_str()));
        std::printf("%-18s %-18s %-8s %5u %8lu %7s\n", destination.c_str(), gateway.c_str(),
                    flagText(route, isDefault).c_str(), route.references, route.use,
                    route.interfaceName.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
