#include "headless/HeadlessStats.h"

#include <cstdio>

namespace quellbox {

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string kib(std::uint64_t bytes) { return format("%.1f", static_cast<double>(bytes) / 1024.0); }

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string HeadlessStats::statusLine() const {
    std::string line = format("%5.0f s", time);
    line += rateCap > 0 ? "  cap " + format("%.1f", rateCap) + " KiB/s" : std::string("  cap off");
    if (downloadRateCap) {
        line += "  download cap " + format("%.1f", *downloadRateCap) + " KiB/s";
    }
    if (rates) {
        // The paced figure is the one the cap bounds; acknowledgements go out unpaced.
        line += "  upload " + format("%.1f", rates->pacedUploadKiB) + " KiB/s paced  acks " +
                format("%.1f", rates->ackKiB) + " KiB/s  download " +
                format("%.1f", rates->downloadKiB) + " KiB/s";
    }
    if (uploadBytes) {
        line += "  wire " + kib(*uploadBytes) + " KiB/s";
    }
    line += "  queue " + std::to_string(queuePackets);
    if (ackPause > 0) {
        line += "  ack pause " + format("%.0f", ackPause) + " us";
    }
    if (standBy) {
        line += "  (stand-by)";
    }
    if (!clients.empty()) {
        line += "  |";
        for (const auto& client : clients) {
            const std::string who = client.name.empty() ? client.address : client.name;
            line += "  " + who;
            if (client.priority) {
                line += " [" + std::to_string(*client.priority) + "]";
            }
            const std::uint64_t bytes =
                client.kind == "upload" ? client.deliveredBytes : client.wireBytes;
            line += " " + kib(bytes) + (client.kind == "upload" ? " up" : "");
        }
        line += " KiB/s";
    }
    return line;
}

std::string HeadlessStats::json() const {
    std::string out = "{\"time\":" + format("%.3f", time);
    out += ",\"backend\":" + quoted(backend);
    out += ",\"rate_cap_kib\":" + format("%.3f", rateCap);
    out += ",\"ack_pause_us\":" + format("%.1f", ackPause);
    if (downloadRateCap) {
        out += ",\"download_rate_cap_kib\":" + format("%.3f", *downloadRateCap);
    }
    if (uploadBytes) {
        out += ",\"upload_bytes\":" + std::to_string(*uploadBytes);
    }
    if (rates) {
        out += ",\"paced_upload_kib\":" + format("%.3f", rates->pacedUploadKiB) +
               ",\"ack_kib\":" + format("%.3f", rates->ackKiB) +
               ",\"download_kib\":" + format("%.3f", rates->downloadKiB);
    }
    out += ",\"engine\":{\"last_ack_bytes\":" + std::to_string(lastAckBytes) +
           ",\"last_data_bytes\":" + std::to_string(lastDataBytes) +
           ",\"queue_packets\":" + std::to_string(queuePackets) +
           ",\"standby\":" + (standBy ? "true" : "false") +
           ",\"packets_read\":" + std::to_string(packetsRead) +
           ",\"packets_written_back\":" + std::to_string(packetsWrittenBack) +
           ",\"data_bytes\":" + std::to_string(dataBytes) +
           ",\"unpaced_data_bytes\":" + std::to_string(unpacedDataBytes) +
           ",\"ack_bytes\":" + std::to_string(ackBytes) + "}";
    out += std::string(",\"priority_mode\":") + (priorityMode ? "true" : "false");
    out += ",\"clients\":[";
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const Client& c = clients[i];
        out += i > 0 ? "," : "";
        out += "{\"address\":" + quoted(c.address) + ",\"login\":" + quoted(c.login) +
               ",\"name\":" + quoted(c.name) + ",\"kind\":" + quoted(c.kind) +
               ",\"port\":" + std::to_string(c.port) +
               ",\"wire_bytes\":" + std::to_string(c.wireBytes) +
               ",\"delivered_bytes\":" + std::to_string(c.deliveredBytes);
        if (c.priority) {
            out += ",\"priority\":" + std::to_string(*c.priority);
        }
        out += "}";
    }
    return out + "]}";
}

}  // namespace quellbox
