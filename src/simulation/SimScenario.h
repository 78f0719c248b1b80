#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellbox {

// A description of the simulated network's traffic, read from a small text file:
//
//   # comments and blank lines are ignored
//   service <port> <name...> [download]
//       a service of the local server whose upload the demo caps ("download": its
//       download too, so that the acknowledgement pause applies)
//   client <address> <kind> port=<port> [login=<login>] [name=<screen name>]
//          [demand=<KiB/s>] [window=<packets>] [start=<s>] [stop=<s>] [size=<bytes>]
//          [rtt=<ms>] [psh=<every n-th segment>] [priority=<0..10>]
//
// <kind> is one of
//   download   the remote client downloads from the local server's port (the local server
//              sends the data: its upload, which the engine paces);
//   upload     the remote client uploads to the local server's port (the local server sends
//              the acknowledgements, which the engine can hold back);
//   outgoing   the local machine uploads to the remote host's port (its own upload).
// demand is the most the client's own link carries (default 1000 KiB/s); window the TCP-like
// window of packets in flight (default 16); start/stop in seconds from the start of the run
// (stop 0: never); size the data packets' size on the wire (default 1500); rtt the round trip
// (default 20 ms); psh sets PSH on every n-th data segment (default 44; 0: never); priority
// the login's default priority, written to the default priorities file of the run. Values
// with blanks are written in double quotes: name="Big Al". Addresses are IPv4 addresses of
// 192.0.2.0/24 (other than the local machine's 192.0.2.1).
struct SimScenario {
    enum class Kind { Download, Upload, Outgoing };

    struct ServiceEntry {
        int port = 0;
        std::string name;
        bool downloadCapped = false;
    };

    struct Client {
        std::string address;
        std::uint32_t ip = 0;
        Kind kind = Kind::Download;
        int port = 0;
        std::string login;
        std::string screenName;
        double demandKiBPerSecond = 1000.0;
        int window = 16;
        double start = 0.0;
        double stop = 0.0;
        int packetSize = 1500;
        double rttMilliseconds = 20.0;
        int pshEvery = 44;
        int priority = -1;  // none
    };

    std::vector<ServiceEntry> services;
    std::vector<Client> clients;

    // Parses scenario text; on error answers nothing with "line N: reason" in `error`.
    static std::optional<SimScenario> parse(const std::string& text, std::string& error);
    // Reads and parses a file; the error names the file.
    static std::optional<SimScenario> load(const std::string& path, std::string& error);
    // "login=priority" lines for the clients that give both, for the default priorities file.
    std::string defaultPrioritiesText() const;
    // The scenario shipped with the program.
    static const std::string& demoText();

    static const char* kindName(Kind kind);
};

}  // namespace quellbox
