#include <gtest/gtest.h>

#include "headless/HeadlessOptions.h"

namespace quellbox {
namespace {

std::optional<HeadlessOptions> parse(std::vector<std::string> arguments,
                                     std::string* error = nullptr) {
    std::string reason;
    auto options = HeadlessOptions::parse(arguments, reason);
    if (error != nullptr) {
        *error = reason;
    }
    return options;
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
}

TEST(HeadlessOptions, DefaultsLeaveStoredValuesInCharge) {
    const auto options = parse({"--headless"});
    ASSERT_TRUE(options.has_value());
    EXPECT_TRUE(options->backend.empty());
    EXPECT_FALSE(options->rate.has_value());
    EXPECT_FALSE(options->duration.has_value());
    EXPECT_FALSE(options->maxQueueDelay.has_value());
    EXPECT_FALSE(options->priorityMode);
    EXPECT_FALSE(options->cleanup);
    EXPECT_FALSE(options->metrics.has_value());
}

TEST(HeadlessOptions, BadInputIsRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--backend", "pf"},
        {"--backend"},
        {"--duration", "0"},
        {"--duration", "soon"},
        {"--rate", "12abc"},
        {"--rate", "-2"},
        {"--ack-pause", "-1"},
        {"--rate", "nan"},
        {"--stats-json="},
        {"--frobnicate"},
        {"extra"},
        {"--duration", "inf"},
        {"--max-queue-delay", "-1"},
        {"--max-queue-delay", "10001"},
        {"--max-queue-delay", "2.5"},
        {"--max-queue-delay", "abc"},
        {"--max-queue-delay"},
        {"--download-rate", "0"},
        {"--download-rate", "fast"},
        {"--ack-pause", "2000", "--download-rate", "100"},
        {"--metrics"},
        {"--metrics", ""},
        {"--metrics", "65536"},
        {"--metrics", "-1"},
        {"--metrics", "+80"},
        {"--metrics", "127.0.0.1:"},
        {"--metrics", ":9715"},
        {"--metrics", "localhost:9715"},
        {"--metrics", "127.1:9715"},
        {"--metrics", "0x7f000001:9715"},
        {"--metrics", "127.0.0.1:97 15"},
        {"--metrics", "[::1]:9715"},
    };
    for (const auto& arguments : bad) {
        std::string error;
        EXPECT_FALSE(parse(arguments, &error).has_value()) << arguments[0];
        EXPECT_FALSE(error.empty()) << arguments[0];
    }
    EXPECT_TRUE(parse({"--rate", "-1"}).has_value()) << "-1 turns pacing off";
    // 0 turns the bound off; 10000 is the longest.
    for (const int millis : {0, 250, 10000}) {
        const auto options = parse({"--max-queue-delay", std::to_string(millis)});
        ASSERT_TRUE(options.has_value()) << millis;
        EXPECT_EQ(options->maxQueueDelay, millis);
    }
    for (const char* address : {"0.0.0.0:9715", "192.0.2.1:0", "127.0.0.1:65535"}) {
        const auto options = parse({"--metrics", address});
        ASSERT_TRUE(options.has_value()) << address;
        EXPECT_EQ(options->metrics->text(), address);
    }
}

}  // namespace
}  // namespace quellbox
