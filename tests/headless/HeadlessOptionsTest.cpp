#include <gtest/gtest.h>

#include "headless/HeadlessOptions.h"

namespace quellbox {
namespace {

std::optional<HeadlessOptions> parse(const std::vector<std::string>& arguments) {
    std::string error;
    return HeadlessOptions::parse(arguments, error);
}

TEST(HeadlessOptions, EveryOptionInBothSpellings) {
    const auto options =
        parse({"--headless", "--backend", "sim", "--scenario=demo.txt", "--duration", "2.5",
               "--rate=100", "--ack-pause", "2500", "--max-queue-delay=10000", "--priority-mode",
               "--stats-json", "out.json", "--verbose", "--cleanup", "--metrics=9715"});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->backend, "sim");
    EXPECT_EQ(options->scenario, "demo.txt");
    EXPECT_DOUBLE_EQ(options->duration.value_or(0), 2.5);
    EXPECT_FLOAT_EQ(options->rate.value_or(0), 100.0F);
    EXPECT_FLOAT_EQ(options->ackPause.value_or(0), 2500.0F);
    EXPECT_EQ(options->maxQueueDelay, 10000);
    EXPECT_TRUE(options->priorityMode);
    EXPECT_EQ(options->statsJson, "out.json");
    EXPECT_TRUE(options->verbose);
    EXPECT_TRUE(options->cleanup);
    ASSERT_TRUE(options->metrics.has_value());
    EXPECT_EQ(options->metrics->text(), "127.0.0.1:9715") << "loopback unless an address is given";
    EXPECT_FALSE(options->help);
    EXPECT_FALSE(options->downloadRate.has_value());
    EXPECT_FLOAT_EQ(parse({"--download-rate=512.5"}).value().downloadRate.value_or(0), 512.5F);
    // Without an option the stored values stay in charge.
    const auto none = parse({"--headless"}).value();
    EXPECT_TRUE(none.backend.empty() && !none.rate && !none.duration && !none.maxQueueDelay &&
                !none.priorityMode && !none.cleanup && !none.metrics);
}

TEST(HeadlessOptions, BadInputIsRefusedWithAReason) {
    // Each option with the values it refuses, then lines refused as a whole.
    const std::vector<std::pair<std::string, std::vector<std::string>>> refused = {
        {"--backend", {"pf"}},
        {"--duration", {"0", "soon", "inf"}},
        {"--rate", {"12abc", "-2", "nan"}},
        {"--ack-pause", {"-1"}},
        {"--max-queue-delay", {"-1", "10001", "2.5", "abc"}},
        {"--download-rate", {"0", "fast"}},
        {"--metrics",
         {"", "65536", "-1", "+80", "127.0.0.1:", ":9715", "localhost:9715", "127.1:9715",
          "0x7f000001:9715", "127.0.0.1:97 15", "[::1]:9715"}}};
    std::vector<std::vector<std::string>> bad = {{"--ack-pause", "2000", "--download-rate", "100"}};
    for (const char* alone : {"--backend", "--max-queue-delay", "--metrics",
                              "--stats-json=", "--frobnicate", "extra"}) {
        bad.push_back({alone});
    }
    for (const auto& [option, values] : refused) {
        for (const auto& value : values) {
            bad.push_back({option, value});
        }
    }
    for (const auto& arguments : bad) {
        std::string error;
        EXPECT_FALSE(HeadlessOptions::parse(arguments, error).has_value())
            << arguments.front() << " " << arguments.back();
        EXPECT_FALSE(error.empty()) << arguments.front() << " " << arguments.back();
    }
    EXPECT_TRUE(parse({"--rate", "-1"}).has_value()) << "-1 turns pacing off";
    // 0 turns the bound off; 10000 is the longest.
    for (const int millis : {0, 250, 10000}) {
        EXPECT_EQ(parse({"--max-queue-delay", std::to_string(millis)}).value().maxQueueDelay,
                  millis);
    }
    for (const char* address : {"0.0.0.0:9715", "192.0.2.1:0", "127.0.0.1:65535"}) {
        EXPECT_EQ(parse({"--metrics", address}).value().metrics.value().text(), address);
    }
}

}  // namespace
}  // namespace quellbox
