#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <regex>
#include <thread>

#include "HeadlessProcess.h"
#include "PrometheusScrape.h"

namespace quellbox {
namespace {

using testing::HeadlessProcess;
using testing::PrometheusScrape;
using testing::StatsLine;

// Runs the simulator on `scenario` with the statistics file and `arguments`; answers the
// statistics it wrote.
std::vector<StatsLine> statsOfRun(HeadlessProcess& process, const std::string& scenario,
                                  std::vector<std::string> arguments) {
    process.writeFile("run.scenario", "service 6700 Server\n" + scenario);
    arguments.insert(arguments.end(),
                     {"--backend", "sim", "--scenario", process.path("run.scenario").string(),
                      "--stats-json", process.path("stats.json").string()});
    EXPECT_EQ(process.run(arguments), 0) << process.output();
    return testing::readStats(process.path("stats.json"));
}

// The statistics once they hold `count` lines (fewer if the run ends first).
std::vector<StatsLine> statsOnceThereAre(const HeadlessProcess& process, std::size_t count) {
    auto stats = testing::readStats(process.path("stats.json"));
    for (int tries = 0; stats.size() < count && tries < 600; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats = testing::readStats(process.path("stats.json"));
    }
    return stats;
}

// The engine's counts of a statistics line (the last-packet gauges move on their own).
std::map<std::string, long long> countsOf(const StatsLine& line) {
    auto counts = line.engine;
    counts.erase("last_ack_bytes");
    counts.erase("last_data_bytes");
    return counts;
}

// Bytes per second that clients of a kind got (wire) or delivered, over the seconds from
// `from` on (the first seconds fill the windows and queues).
double ratePerSecond(const std::vector<StatsLine>& stats, std::size_t from,
                     const std::string& login, bool delivered) {
    double bytes = 0;
    std::size_t seconds = 0;
    for (std::size_t i = from; i < stats.size(); ++i) {
        ++seconds;
        for (const auto& client : stats[i].clients) {
            if (login.empty() || client.login == login) {
                bytes += static_cast<double>(delivered ? client.deliveredBytes : client.wireBytes);
            }
        }
    }
    return seconds == 0 ? 0.0 : bytes / static_cast<double>(seconds);
}

TEST(HeadlessRun, BadOptionsAndFilesAreRefusedWithStatusTwo) {
    HeadlessProcess process;
    process.writeFile("broken.scenario",
                      "service 6700 Server\nclient 10.0.0.1 download port=6700\n");
    // Metrics addresses that parse but can't be listened on: a port in use, an address of no
    // interface of this machine.
    httplib::Server taken;
    taken.set_socket_options([](int) {});  // no SO_REUSEPORT: the port is another's alone
    const int port = taken.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    const std::string inUse = "127.0.0.1:" + std::to_string(port);
    // The arguments and what the program says about them.
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--rate", "fast"}, "quellbox: "},
        {{"--scenario", process.path("missing.scenario").string()}, "quellbox: "},
        {{"--stats-json", process.path("no/such/folder/stats.json").string()}, "quellbox: "},
        {{"--metrics", inUse}, "quellbox: can't serve the metrics on " + inUse + ": "},
        {{"--metrics", "192.0.2.99:9715"},
         "quellbox: can't serve the metrics on 192.0.2.99:9715: "},
        {{"--scenario", process.path("broken.scenario").string()}, "line 2"},
    };
    for (auto [arguments, told] : bad) {
        arguments.insert(arguments.begin(), {"--backend", "sim"});
        EXPECT_EQ(process.run(arguments), 2) << arguments.back();
        EXPECT_NE(process.output().find(told), std::string::npos) << process.output();
    }
}

// A statistics file on a full disk (/dev/full refuses every write, even root's): the run
// goes on shaping to its end, says once why the statistics stopped, and exits with 1.
TEST(HeadlessRun, AStatisticsFileThatFillsUpIsReportedAndTheRunGoesOn) {
    HeadlessProcess process;
    EXPECT_EQ(process.run({"--backend", "sim", "--rate", "100", "--duration", "3", "--stats-json",
                           "/dev/full"}),
              1);
    const std::string errors = process.output();
    const std::string message = "quellbox: can't write the statistics file /dev/full: ";
    ASSERT_NE(errors.find(message), std::string::npos) << errors;
    EXPECT_EQ(errors.find(message), errors.rfind(message)) << "reported more than once";
    EXPECT_NE(process.output().find("Stopped."), std::string::npos) << process.output();
    EXPECT_EQ(process.simulatedRules(), 0U);
}

TEST(HeadlessRun, UploadIsHeldNearTheRate) {
    HeadlessProcess process;
    const auto stats =
        statsOfRun(process,
                   "client 192.0.2.10 download port=6700 demand=2000 window=32 psh=0\n"
                   "client 192.0.2.11 download port=6700 demand=2000 window=32 psh=0\n",
                   {"--rate", "100", "--duration", "6"});
    ASSERT_GE(stats.size(), 5U);
    // A loose bound: the benchmark measures the precise figure.
    EXPECT_NEAR(ratePerSecond(stats, 2, "", false) / 1024.0, 100.0, 10.0);
    EXPECT_EQ(process.simulatedRules(), 0U);
}

TEST(HeadlessRun, AcknowledgementPauseLowersAnUploadingClientsRate) {
    HeadlessProcess process;
    auto uploadRate = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--duration", "4"});
        return ratePerSecond(
            statsOfRun(process, "client 192.0.2.20 upload port=6700 demand=2000 window=4 rtt=2\n",
                       arguments),
            1, "", true);
    };
    const double free = uploadRate({});
    const double held = uploadRate({"--ack-pause", "20000"});
    // Four segments per round and at most one acknowledgement per 20 ms: about 290 KiB/s at
    // most, against the client's 2000 KiB/s link.
    EXPECT_GT(free, 2.0 * held) << "free " << free << " B/s, held " << held << " B/s";
    EXPECT_GT(held, 0.0);
}

// The demo's uploading client (Carol's line) under the download rate mode: the engine finds
// the pause that holds her upload to the server at the cap, from no pause at all.
TEST(HeadlessRun, DownloadRateModeHoldsAnUploadingClientAtTheCap) {
    HeadlessProcess process;
    const auto stats = statsOfRun(
        process, "client 192.0.2.20 upload port=6700 login=carol demand=2000 window=16\n",
        {"--download-rate", "200", "--duration", "8"});
    ASSERT_GE(stats.size(), 7U);
    // Delivered bytes count the segments' headers too, acknowledgement numbers do not.
    // Unheld, the client's window of 16 segments per 20 ms round trip carries over 1 MiB/s.
    const double payload = ratePerSecond(stats, 3, "carol", true) * 1460.0 / 1500.0 / 1024.0;
    EXPECT_NEAR(payload, 200.0, 20.0);
    EXPECT_NE(process.output().find("download cap 200.0 KiB/s"), std::string::npos);
}

TEST(HeadlessRun, PriorityModeGivesTheHigherPriorityMoreOfTheUpload) {
    HeadlessProcess process;
    const auto stats = statsOfRun(
        process,
        "client 192.0.2.10 download port=6700 login=high demand=2000 window=32 psh=0 priority=10\n"
        "client 192.0.2.11 download port=6700 login=low demand=2000 window=32 psh=0 priority=0\n",
        {"--rate", "100", "--priority-mode", "--duration", "7"});
    const double high = ratePerSecond(stats, 3, "high", false);
    const double low = ratePerSecond(stats, 3, "low", false);
    EXPECT_GT(high, 1.5 * low) << "high " << high << " B/s, low " << low << " B/s";
}

// The metrics endpoint on a port the kernel picks, scraped once the engine is quiet (its
// counts the same in a statistics line written before the scrape and one written after):
// every figure is the engine's own, and every packet read is written back or counted as
// dropped.
TEST(HeadlessRun, MetricsEndpointServesTheEnginesCountersUntilSigterm) {
    HeadlessProcess process;
    process.writeFile("one.scenario",
                      "service 6700 Server\n"
                      "client 192.0.2.10 download port=6700 login=alice name=\"Alice\" "
                      "demand=400 window=16 priority=7 stop=2\n");
    process.start({"--backend", "sim", "--scenario", process.path("one.scenario").string(),
                   "--rate", "200", "--priority-mode", "--metrics", "127.0.0.1:0", "--duration",
                   "15", "--stats-json", process.path("stats.json").string()});
    ASSERT_TRUE(process.waitFor("/metrics\n")) << process.output();
    std::smatch match;
    const std::string output = process.output();
    ASSERT_TRUE(
        std::regex_search(output, match, std::regex(R"(Metrics on http://127\.0\.0\.1:(\d+)/)")))
        << output;
    httplib::Client client("127.0.0.1", std::stoi(match[1]));
    const auto elsewhere = client.Get("/");
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->status, 404);

    std::optional<PrometheusScrape> scrape;
    StatsLine quiet;
    for (std::size_t seen = 3; !scrape && seen < 14; ++seen) {
        const auto before = statsOnceThereAre(process, seen);
        ASSERT_EQ(before.size(), seen) << process.output();
        const auto response = client.Get("/metrics");
        ASSERT_TRUE(response);
        ASSERT_EQ(response->status, 200);
        EXPECT_EQ(response->get_header_value("Content-Type"),
                  "text/plain; version=0.0.4; charset=utf-8");
        std::string error;
        auto page = PrometheusScrape::parse(response->body, error);
        ASSERT_TRUE(page.has_value()) << error << "\n" << response->body;
        const std::size_t written = testing::readStats(process.path("stats.json")).size();
        const auto after = statsOnceThereAre(process, written + 1);
        ASSERT_GT(after.size(), written);
        if (countsOf(before.back()) == countsOf(after.back())) {
            scrape = std::move(page);
            quiet = after.back();
        }
    }
    ASSERT_TRUE(scrape.has_value()) << "the engine never went quiet";
    auto engine = [&](const char* key) { return static_cast<double>(quiet.engine.at(key)); };
    EXPECT_GT(engine("data_bytes"), 0.0);
    EXPECT_EQ(scrape->value("quellbox_packets_read_total"), engine("packets_read"));
    EXPECT_EQ(scrape->value("quellbox_packets_written_back_total"), engine("packets_written_back"));
    EXPECT_EQ(scrape->value("quellbox_upload_bytes_total", {{"pacing", "paced"}}),
              engine("data_bytes"));
    EXPECT_EQ(scrape->value("quellbox_upload_bytes_total", {{"pacing", "unpaced"}}),
              engine("unpaced_data_bytes"));
    EXPECT_EQ(scrape->value("quellbox_ack_bytes_total"), engine("ack_bytes"));
    EXPECT_EQ(scrape->value("quellbox_queue_packets"), engine("queue_packets"));
    EXPECT_EQ(scrape->value("quellbox_upload_cap_bytes_per_second"), 200.0 * 1024);
    EXPECT_EQ(scrape->value("quellbox_priority_mode"), 1.0);
    // The only client got every DATA byte.
    EXPECT_EQ(scrape->value("quellbox_client_sent_bytes_total",
                            {{"address", "192.0.2.10"}, {"login", "alice"}, {"priority", "7"}}),
              engine("data_bytes"));
    double dropped = 0;
    for (const auto& sample : scrape->samples) {
        dropped += sample.name == "quellbox_packets_dropped_total" ? sample.value : 0.0;
    }
    EXPECT_EQ(engine("packets_read"),
              engine("packets_written_back") + dropped + engine("queue_packets"));

    // SIGTERM winds the run down and takes every rule away.
    EXPECT_GT(process.simulatedRules(), 0U) << "the service is capped while it runs";
    process.signal(SIGTERM);
    EXPECT_EQ(process.wait(), 0) << process.output();
    EXPECT_EQ(process.simulatedRules(), 0U);
    EXPECT_NE(process.output().find("Winding down"), std::string::npos);
}

}  // namespace
}  // namespace quellbox
