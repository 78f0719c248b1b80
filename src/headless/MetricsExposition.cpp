#include "headless/MetricsExposition.h"

#include "headless/PrometheusText.h"

namespace quellbox {

namespace {

using Type = PrometheusText::Type;

void writePackets(PrometheusText& out, const ThroughputLimiter::Counters& counters) {
    out.family("quellbox_packets_read_total", Type::Counter,
               "Packets the engine read from the packet queue.");
    out.sample(counters.read);
    out.family("quellbox_packets_written_back_total", Type::Counter,
               "Packets the engine wrote back to the kernel.");
    out.sample(counters.writtenBack);
    out.family("quellbox_packets_dropped_total", Type::Counter,
               "Packets the engine dropped, by reason: the write back failed, a full queue "
               "refused it, it was lost as the priority buckets climbed, it waited longer than "
               "the longest queueing delay.");
    out.sample(counters.writeFailures, {{"reason", "write_failure"}});
    out.sample(counters.droppedQueueFull, {{"reason", "queue_full"}});
    out.sample(counters.droppedByPriority, {{"reason", "priority_step"}});
    out.sample(counters.droppedForDelay, {{"reason", "queue_delay"}});
    out.family("quellbox_packets_malformed_total", Type::Counter,
               "Packets too short for their headers, written back unchanged.");
    out.sample(counters.malformed);
}

void writeBytes(PrometheusText& out, const ThroughputLimiter::Counters& counters) {
    out.family("quellbox_upload_bytes_total", Type::Counter,
               "Upload of the capped services written back: DATA paced to the rate, and "
               "data-carrying SYN or PSH segments sent unpaced but charged to the pacing.");
    out.sample(counters.dataBytes, {{"pacing", "paced"}});
    out.sample(counters.unpacedDataBytes, {{"pacing", "unpaced"}});
    out.family("quellbox_ack_bytes_total", Type::Counter,
               "Acknowledgements without data written back (never paced).");
    out.sample(counters.ackBytes);
    out.family("quellbox_download_bytes_total", Type::Counter,
               "Download of the capped services: bytes their acknowledgements newly "
               "acknowledged.");
    out.sample(counters.downloadBytes);
}

}  // namespace

std::string MetricsExposition::text() const {
    PrometheusText out;
    writePackets(out, counters);
    writeBytes(out, counters);
    out.family("quellbox_queue_packets", Type::Gauge,
               "DATA packets waiting in the priority queue.");
    out.sample(static_cast<double>(queuePackets));
    out.family("quellbox_upload_cap_bytes_per_second", Type::Gauge,
               "The upload rate the capped services are paced to; 0: not paced.");
    out.sample(rateCap > 0.0F ? static_cast<double>(rateCap) * 1024.0 : 0.0);
    out.family("quellbox_ack_pause_seconds", Type::Gauge,
               "How long each acknowledgement of a download-capped service is held back.");
    out.sample(static_cast<double>(ackPause) / 1e6);
    out.family("quellbox_priority_mode", Type::Gauge,
               "1 while Priority Mode shares the upload by client priority.");
    out.sample(priorityMode ? 1.0 : 0.0);
    out.family("quellbox_client_sent_bytes_total", Type::Counter,
               "In Priority Mode, DATA bytes sent to each active client.");
    for (const Client& client : clients) {
        out.sample(client.sentBytes, {{"address", client.address},
                                      {"login", client.login},
                                      {"priority", std::to_string(client.priority)}});
    }
    return out.text();
}

}  // namespace quellbox
