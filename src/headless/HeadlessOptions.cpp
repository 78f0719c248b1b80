#include "headless/HeadlessOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "engine/EngineControls.h"

namespace quellbox {

namespace {

// A finite number in [lowest, highest], the whole text being the number.
std::optional<double> parseNumber(const std::string& text, double lowest, double highest) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value) ||
        value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<HeadlessOptions> HeadlessOptions::parse(const std::vector<std::string>& arguments,
                                                      std::string& error) {
    HeadlessOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string name = argument;
        std::optional<std::string> inlineValue;
        if (const auto equals = argument.find('=');
            argument.starts_with("--") && equals != std::string::npos) {
            name = argument.substr(0, equals);
            inlineValue = argument.substr(equals + 1);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= arguments.size()) {
                error = "option " + name + " needs a value";
                return std::nullopt;
            }
            return arguments[++i];
        };
        auto number = [&](double lowest, double highest) -> std::optional<double> {
            const auto text = value();
            if (!text) {
                return std::nullopt;
            }
            auto parsed = parseNumber(*text, lowest, highest);
            if (!parsed) {
                error = "option " + name + ": '" + *text + "' is not a number from " +
                        std::to_string(lowest) + " to " + std::to_string(highest);
            }
            return parsed;
        };

        if (name == "--headless") {
            continue;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--verbose" || name == "-v") {
            options.verbose = true;
        } else if (name == "--priority-mode") {
            options.priorityMode = true;
        } else if (name == "--cleanup") {
            options.cleanup = true;
        } else if (name == "--backend") {
            const auto text = value();
            if (!text) {
                return std::nullopt;
            }
            if (*text != "sim" && *text != "nfqueue" && *text != "divert") {
                error = "unknown backend '" + *text + "' (choose sim, nfqueue or divert)";
                return std::nullopt;
            }
            options.backend = *text;
        } else if (name == "--scenario" || name == "--stats-json") {
            const auto text = value();
            if (!text) {
                return std::nullopt;
            }
            if (text->empty()) {
                error = "option " + name + " needs a file name";
                return std::nullopt;
            }
            (name == "--scenario" ? options.scenario : options.statsJson) = *text;
        } else if (name == "--duration") {
            const auto seconds = number(0.1, 1e9);
            if (!seconds) {
                return std::nullopt;
            }
            options.duration = *seconds;
        } else if (name == "--rate") {
            // -1 turns pacing off, as the engine understands it.
            const auto kib = number(-1, 4'000'000);
            if (!kib) {
                return std::nullopt;
            }
            options.rate = static_cast<float>(*kib);
        } else if (name == "--ack-pause") {
            const auto micros = number(0, 10'000'000);
            if (!micros) {
                return std::nullopt;
            }
            options.ackPause = static_cast<float>(*micros);
        } else if (name == "--download-rate") {
            const auto kib = number(1, 4'000'000);
            if (!kib) {
                return std::nullopt;
            }
            options.downloadRate = static_cast<float>(*kib);
        } else if (name == "--max-queue-delay") {
            const auto millis = number(0, static_cast<double>(kLongestQueueDelayMs));
            if (!millis) {
                return std::nullopt;
            }
            if (*millis != std::floor(*millis)) {
                error = "option " + name + " needs whole milliseconds";
                return std::nullopt;
            }
            options.maxQueueDelay = static_cast<int>(*millis);
        } else if (name == "--metrics") {
            const auto text = value();
            if (!text) {
                return std::nullopt;
            }
            options.metrics = MetricsAddress::parse(*text, error);
            if (!options.metrics) {
                return std::nullopt;
            }
        } else {
            error = "unknown option '" + argument + "'";
            return std::nullopt;
        }
    }
    if (options.ackPause && options.downloadRate) {
        error = "--ack-pause and --download-rate both cap the download: choose one";
        return std::nullopt;
    }
    return options;
}

std::string HeadlessOptions::usage() {
    return "Usage: quellbox --headless [options]\n"
           "Shapes the capped services stored in the settings without a window.\n"
           "\n"
           "  --backend sim|nfqueue|divert  packet backend (default: nfqueue when quellbox-engine\n"
           "                                holds CAP_NET_ADMIN, otherwise the simulated network)\n"
           "  --scenario FILE               simulated clients (default: the demo scenario)\n"
           "  --duration SECONDS            stop after this time (default: until SIGINT/SIGTERM)\n"
           "  --rate KIB_PER_S              upload rate; -1 turns pacing off (default: stored)\n"
           "  --ack-pause MICROSECONDS      hold acknowledgements of capped downloads back\n"
           "  --download-rate KIB_PER_S     cap the downloads at this rate (acknowledgements\n"
           "                                leave as the bytes they acknowledge fit it)\n"
           "  --max-queue-delay MS          drop from the busiest client once a packet waited\n"
           "                                this long (0: off, the default; at most 10000)\n"
           "  --priority-mode               share the upload by client priority\n"
           "  --stats-json FILE             write one JSON object per second to FILE\n"
           "  --metrics [ADDRESS:]PORT      serve Prometheus metrics on http://.../metrics\n"
           "                                (IPv4 ADDRESS; default 127.0.0.1, this machine only)\n"
           "  --verbose                     also print diagnostics (otherwise in syslog only)\n"
           "  --cleanup                     remove the divert rules that a killed run left\n"
           "                                behind (of the chosen backend), then exit\n"
           "  --help                        show this text\n";
}

}  // namespace quellbox
