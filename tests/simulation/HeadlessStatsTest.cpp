#include <gtest/gtest.h>

#include "headless/HeadlessStats.h"

namespace quellbox {
namespace {

TEST(HeadlessStats, JsonEscapesNamesAndOmitsUnknowns) {
    HeadlessStats stats;
    stats.rateCap = 100;
    stats.clients.push_back(
        {"192.0.2.10", "al\"ice", "Tab\tand\\slash\x01", "download", 6700, 1500, 1460, 10});
    stats.clients.push_back({"192.0.2.11", "bob", "", "upload", 6700, 40, 3000, std::nullopt});
    const std::string json = stats.json();
    EXPECT_NE(json.find(R"("login":"al\"ice")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("name":"Tab\tand\\slash\u0001")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("wire_bytes":1500,"delivered_bytes":1460,"priority":10})"),
              std::string::npos);
    EXPECT_NE(json.find(R"("delivered_bytes":3000})"), std::string::npos)
        << "no priority when unknown";
    EXPECT_EQ(json.find("upload_bytes"), std::string::npos) << "absent when not measured";
    stats.uploadBytes = 2048;
    EXPECT_NE(stats.json().find(R"("upload_bytes":2048)"), std::string::npos);
    EXPECT_EQ(stats.json().find('\n'), std::string::npos);
}

TEST(HeadlessStats, StatusLineShowsRatesInKiB) {
    HeadlessStats stats;
    stats.time = 12;
    stats.rateCap = 100;
    stats.uploadBytes = 102400;
    stats.rates = TrafficRates::Rates{42.0, 8.5, 20.25};
    stats.downloadRateCap = 20.0F;
    stats.queuePackets = 14;
    stats.clients.push_back({"192.0.2.10", "alice", "Alice", "download", 6700, 51200, 0, 10});
    stats.clients.push_back({"192.0.2.20", "carol", "", "upload", 6700, 40, 10240, std::nullopt});
    EXPECT_EQ(stats.statusLine(),
              "   12 s  cap 100.0 KiB/s  download cap 20.0 KiB/s  upload 42.0 KiB/s paced  "
              "acks 8.5 KiB/s  download 20.2 KiB/s  wire 100.0 KiB/s"
              "  queue 14  |  Alice [10] 50.0  "
              "192.0.2.20 10.0 up KiB/s");
    stats.rateCap = -1;
    stats.standBy = true;
    EXPECT_NE(stats.statusLine().find("cap off"), std::string::npos);
    EXPECT_NE(stats.statusLine().find("(stand-by)"), std::string::npos);
}

}  // namespace
}  // namespace quellbox
