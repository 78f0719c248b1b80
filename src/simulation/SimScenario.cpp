#include "simulation/SimScenario.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include "firewall/SimKernel.h"
#include "firewall/TcpPacketBuilder.h"
#include "platform/AtomicFile.h"

namespace quellbox {

namespace {

// Splits a line into words; a double-quoted part (possibly after "key=") keeps its blanks.
std::optional<std::vector<std::string>> words(const std::string& line, std::string& error) {
    std::vector<std::string> result;
    std::string current;
    bool inWord = false;
    bool quoted = false;
    for (const char c : line) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) {
                result.push_back(current);
                current.clear();
                inWord = false;
            }
        } else {
            current += c;
            inWord = true;
        }
    }
    if (quoted) {
        error = "unclosed double quote";
        return std::nullopt;
    }
    if (inWord) {
        result.push_back(current);
    }
    return result;
}

std::optional<double> number(const std::string& text, double lowest, double highest) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(value) || value < lowest ||
        value > highest) {
        return std::nullopt;
    }
    return value;
}

bool parseClient(const std::vector<std::string>& w, SimScenario::Client& client,
                 std::string& error) {
    if (w.size() < 3) {
        error = "expected: client <address> <kind> port=<port> ...";
        return false;
    }
    client.address = w[1];
    client.ip = TcpPacketBuilder::address(client.address);
    if (client.ip == 0 || (client.ip >> 8) != (TcpPacketBuilder::address("192.0.2.0") >> 8) ||
        client.address == SimKernel::kLocalAddress) {
        error = "'" + w[1] + "' is not an address of 192.0.2.0/24 other than 192.0.2.1";
        return false;
    }
    static const std::map<std::string, SimScenario::Kind> kinds = {
        {"download", SimScenario::Kind::Download},
        {"upload", SimScenario::Kind::Upload},
        {"outgoing", SimScenario::Kind::Outgoing}};
    const auto kind = kinds.find(w[2]);
    if (kind == kinds.end()) {
        error = "unknown kind '" + w[2] + "' (download, upload or outgoing)";
        return false;
    }
    client.kind = kind->second;
    for (std::size_t i = 3; i < w.size(); ++i) {
        const auto equals = w[i].find('=');
        if (equals == std::string::npos) {
            error = "expected key=value, found '" + w[i] + "'";
            return false;
        }
        const std::string key = w[i].substr(0, equals);
        const std::string value = w[i].substr(equals + 1);
        auto numeric = [&](double lowest, double highest) -> std::optional<double> {
            auto parsed = number(value, lowest, highest);
            if (!parsed) {
                error = key + "='" + value + "' is not a number from " + std::to_string(lowest) +
                        " to " + std::to_string(highest);
            }
            return parsed;
        };
        std::optional<double> parsed;
        if (key == "login") {
            client.login = value;
            continue;
        }
        if (key == "name") {
            client.screenName = value;
            continue;
        }
        if (key == "port" && (parsed = numeric(1, 65535))) {
            client.port = static_cast<int>(*parsed);
        } else if (key == "demand" && (parsed = numeric(0.1, 10'000'000))) {
            client.demandKiBPerSecond = *parsed;
        } else if (key == "window" && (parsed = numeric(1, 1000))) {
            client.window = static_cast<int>(*parsed);
        } else if (key == "start" && (parsed = numeric(0, 1e7))) {
            client.start = *parsed;
        } else if (key == "stop" && (parsed = numeric(0, 1e7))) {
            client.stop = *parsed;
        } else if (key == "size" && (parsed = numeric(70, 65535))) {
            client.packetSize = static_cast<int>(*parsed);
        } else if (key == "rtt" && (parsed = numeric(0, 10000))) {
            client.rttMilliseconds = *parsed;
        } else if (key == "psh" && (parsed = numeric(0, 1e6))) {
            client.pshEvery = static_cast<int>(*parsed);
        } else if (key == "priority" && (parsed = numeric(0, 10))) {
            client.priority = static_cast<int>(*parsed);
        } else {
            if (error.empty()) {
                error = "unknown key '" + key + "'";
            }
            return false;
        }
    }
    if (client.port == 0) {
        error = "client " + client.address + " needs port=<port>";
        return false;
    }
    if (client.stop != 0 && client.stop <= client.start) {
        error = "client " + client.address + ": stop must come after start";
        return false;
    }
    return true;
}

bool parseService(const std::vector<std::string>& w, SimScenario::ServiceEntry& service,
                  std::string& error) {
    if (w.size() < 3) {
        error = "expected: service <port> <name> [download]";
        return false;
    }
    const auto port = number(w[1], 1, 65535);
    if (!port) {
        error = "'" + w[1] + "' is not a port";
        return false;
    }
    service.port = static_cast<int>(*port);
    std::size_t end = w.size();
    if (w.back() == "download") {
        service.downloadCapped = true;
        --end;
    }
    for (std::size_t i = 2; i < end; ++i) {
        service.name += (i > 2 ? " " : "") + w[i];
    }
    if (service.name.empty()) {
        error = "service " + w[1] + " needs a name";
        return false;
    }
    return true;
}

}  // namespace

std::optional<SimScenario> SimScenario::parse(const std::string& text, std::string& error) {
    SimScenario scenario;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string reason;
        const auto w = words(line, reason);
        bool ok = w.has_value();
        if (ok && !w->empty() && !(*w)[0].starts_with("#")) {
            if ((*w)[0] == "client") {
                Client client;
                ok = parseClient(*w, client, reason);
                scenario.clients.push_back(client);
            } else if ((*w)[0] == "service") {
                ServiceEntry service;
                ok = parseService(*w, service, reason);
                scenario.services.push_back(service);
            } else {
                reason = "unknown entry '" + (*w)[0] + "' (service or client)";
                ok = false;
            }
        }
        if (!ok) {
            error = "line " + std::to_string(number) + ": " + reason;
            return std::nullopt;
        }
    }
    return scenario;
}

std::optional<SimScenario> SimScenario::load(const std::string& path, std::string& error) {
    const auto text = AtomicFile::read(path);
    if (!text) {
        error = "can't read scenario file " + path;
        return std::nullopt;
    }
    auto scenario = parse(*text, error);
    if (!scenario) {
        error = path + ", " + error;
    }
    return scenario;
}

std::string SimScenario::defaultPrioritiesText() const {
    std::string text = "# Default priorities of the simulated clients: login=priority (0 to 10)\n";
    for (const auto& client : clients) {
        if (!client.login.empty() && client.priority >= 0) {
            text += client.login + "=" + std::to_string(client.priority) + "\n";
        }
    }
    return text;
}

const std::string& SimScenario::demoText() {
    static const std::string text =
        R"(# Quellbox demo: a file server on port 6700 with four clients.
service 6700 Server download
# Alice and Bob download as fast as their links allow; a guest joins after five seconds;
# Carol uploads to the server. In Priority Mode Alice's login has priority 10, the guest's 0.
client 192.0.2.10 download port=6700 login=alice name="Alice" demand=400 window=24 priority=10
client 192.0.2.11 download port=6700 login=bob name="Bob the Builder" demand=400 window=24 priority=5
client 192.0.2.12 download port=6700 login=guest name="Guest" demand=150 window=8 start=5 priority=0
client 192.0.2.20 upload port=6700 login=carol name="Carol" demand=300 window=16
)";
    return text;
}

const char* SimScenario::kindName(Kind kind) {
    switch (kind) {
        case Kind::Download:
            return "download";
        case Kind::Upload:
            return "upload";
        case Kind::Outgoing:
            return "outgoing";
    }
    return "download";
}

}  // namespace quellbox
