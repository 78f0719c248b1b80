#include <gtest/gtest.h>

#include "PrometheusScrape.h"
#include "headless/MetricsExposition.h"

namespace quellbox {
namespace {

using testing::PrometheusScrape;

MetricsExposition knownReading() {
    MetricsExposition reading;
    reading.counters.read = 1000;
    reading.counters.writtenBack = 970;
    reading.counters.writeFailures = 1;
    reading.counters.malformed = 2;
    reading.counters.dataBytes = 1'234'567'890'123ULL;  // beyond a 32-bit count
    reading.counters.unpacedDataBytes = 3000;
    reading.counters.ackBytes = 5200;
    reading.counters.droppedQueueFull = 17;
    reading.counters.droppedByPriority = 9;
    reading.counters.droppedForDelay = 3;
    reading.counters.downloadBytes = 77'000;
    reading.queuePackets = 42;
    reading.rateCap = 42.5F;
    reading.ackPause = 20000.0F;
    reading.priorityMode = true;
    reading.clients = {{"192.0.2.10", "alice", 10, 67500},
                       {"192.0.2.11", "bo\"b\\the\nbuilder", 0, 1500}};
    return reading;
}

TEST(MetricsExposition, KnownCountersReadBackFromAWellFormedPageAndPacingOffShowsNoCap) {
    const std::string text = knownReading().text();
    std::string error;
    const auto scrape = PrometheusScrape::parse(text, error);
    ASSERT_TRUE(scrape.has_value()) << error << "\n" << text;
    struct Expected {
        std::string name;
        PrometheusScrape::Labels labels;
        double value;
        std::string type;
    };
    const std::vector<Expected> expected = {
        {"quellbox_packets_read_total", {}, 1000, "counter"},
        {"quellbox_packets_written_back_total", {}, 970, "counter"},
        {"quellbox_packets_dropped_total", {{"reason", "write_failure"}}, 1, "counter"},
        {"quellbox_packets_dropped_total", {{"reason", "queue_full"}}, 17, "counter"},
        {"quellbox_packets_dropped_total", {{"reason", "priority_step"}}, 9, "counter"},
        {"quellbox_packets_dropped_total", {{"reason", "queue_delay"}}, 3, "counter"},
        {"quellbox_packets_malformed_total", {}, 2, "counter"},
        {"quellbox_upload_bytes_total", {{"pacing", "paced"}}, 1'234'567'890'123.0, "counter"},
        {"quellbox_upload_bytes_total", {{"pacing", "unpaced"}}, 3000, "counter"},
        {"quellbox_ack_bytes_total", {}, 5200, "counter"},
        {"quellbox_download_bytes_total", {}, 77'000, "counter"},
        {"quellbox_queue_packets", {}, 42, "gauge"},
        {"quellbox_upload_cap_bytes_per_second", {}, 42.5 * 1024, "gauge"},
        {"quellbox_ack_pause_seconds", {}, 0.02, "gauge"},
        {"quellbox_priority_mode", {}, 1, "gauge"},
        {"quellbox_client_sent_bytes_total",
         {{"address", "192.0.2.10"}, {"login", "alice"}, {"priority", "10"}},
         67500,
         "counter"},
        {"quellbox_client_sent_bytes_total",
         {{"address", "192.0.2.11"}, {"login", "bo\"b\\the\nbuilder"}, {"priority", "0"}},
         1500,
         "counter"},
    };
    for (const Expected& sample : expected) {
        SCOPED_TRACE(sample.name);
        EXPECT_EQ(scrape->value(sample.name, sample.labels), sample.value);
        EXPECT_EQ(scrape->types.at(sample.name), sample.type);
        EXPECT_FALSE(scrape->help.at(sample.name).empty());
    }
    EXPECT_EQ(scrape->samples.size(), expected.size());
    // The escapes exactly as the format spells them, the line unbroken.
    EXPECT_NE(
        text.find("quellbox_client_sent_bytes_total{address=\"192.0.2.11\",login=\"bo\\\"b\\\\"
                  "the\\nbuilder\",priority=\"0\"} 1500\n"),
        std::string::npos)
        << text;

    // Pacing off shows a cap of 0; no clients, no client samples (their TYPE line stays).
    MetricsExposition off;
    off.rateCap = -1.0F;
    const auto offScrape = PrometheusScrape::parse(off.text(), error);
    ASSERT_TRUE(offScrape.has_value()) << error;
    EXPECT_EQ(offScrape->value("quellbox_upload_cap_bytes_per_second"), 0.0);
    EXPECT_EQ(offScrape->value("quellbox_priority_mode"), 0.0);
    EXPECT_EQ(offScrape->types.count("quellbox_client_sent_bytes_total"), 1U);
    for (const auto& sample : offScrape->samples) {
        EXPECT_NE(sample.name, "quellbox_client_sent_bytes_total");
    }
}

}  // namespace
}  // namespace quellbox
