#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "control/ControlCodec.h"

namespace quellbox::control {
namespace {

// One message of every kind, with fields that differ from their defaults, and a setting's
// removal.
std::vector<Message> everyKind() {
    const PlistValue nested(PlistValue::Dictionary{
        {"list", PlistValue(PlistValue::Array{PlistValue(7), PlistValue("x"), PlistValue(true)})},
        {"data", PlistValue(PlistValue::Data{0, 255, 10})},
        {"when", PlistValue(PlistValue::Date(std::chrono::microseconds(1'700'000'000'123'456)))},
        {"real", PlistValue(-2.5)}});
    ClientSnapshot snapshot;
    snapshot.rows.push_back(
        {0xC000020A, "192.0.2.10", "Alice", "alice", "Server", 10, 35.25, 20.5, 19.75F});
    snapshot.rows.push_back({0xC0000214, "192.0.2.20", "Bob", "", "", 0, 0.0, 0.0, 0.0F});
    return {Hello{7},
            HelloReply{"sim",
                       "no capability",
                       "damaged settings",
                       {{"Server", 6700, true}, {"Other", 1, false}},
                       {{"logPath", PlistValue("/srv/Downloads")}, {"logCursor", PlistValue(12)}}},
            ServiceCall{ServiceCall::Operation::RemoveDL, "Server", 65535},
            SetDATARate{42.5F},
            SetACKPause{-1.0F},
            SetPriorityFactor{-3},
            SetPriorityMode{true},
            SetSetting{"logPath", PlistValue("/srv/Downloads")},
            SnapshotRequest{},
            SetClientPriority{0xFFFFFFFF, 9},
            MakeDefaultForLogin{0xC000020A},
            ReloadDefaultPriorities{},
            Result{-1},
            SnapshotReply{snapshot},
            Gauge{Gauge::Which::Ack, 1460.0},
            RefreshView{},
            Notice{"genericIpfwProblemNotification", "Error", "Please check", true},
            SettingChanged{"beginDate", nested},
            Traffic{{0xFFFFFFFFFFULL, 2, 3, 0x0102030405060708ULL}},
            SetDownloadRate{true, 1024.5F},
            SetSetting{"logPath", std::nullopt}};
}

// Every kind decodes to itself; every shorter body of it is refused, never read past its end.
TEST(ControlCodec, EveryKindRoundTripsAndEveryTruncatedBodyIsRefused) {
    const auto messages = everyKind();
    ASSERT_EQ(messages.size(), std::variant_size_v<Message> + 1) << "a kind without a sample here";
    for (const auto& message : messages) {
        const auto frame = ControlCodec::encode(message);
        std::string error;
        const auto length = ControlCodec::bodyLength(frame.data(), error);
        ASSERT_EQ(length, frame.size() - ControlCodec::kHeaderBytes) << error;
        const auto decoded =
            ControlCodec::decode(frame.data() + ControlCodec::kHeaderBytes, *length, error);
        ASSERT_TRUE(decoded) << "kind " << message.index() << ": " << error;
        EXPECT_EQ(*decoded, message) << "kind " << message.index();
        for (std::size_t size = 0; size < *length; ++size) {
            const std::vector<std::uint8_t> cut(frame.begin() + ControlCodec::kHeaderBytes,
                                                frame.begin() + ControlCodec::kHeaderBytes + size);
            std::string why;
            EXPECT_FALSE(ControlCodec::decode(cut.data(), cut.size(), why))
                << "kind " << message.index() << " cut to " << size << " bytes";
            EXPECT_FALSE(why.empty());
        }
    }
}

TEST(ControlCodec, DamagedBodiesAreRefused) {
    using Body = std::vector<std::uint8_t>;
    // The body of `message`'s frame as `damage` leaves it.
    const auto damaged = [](const Message& message, const std::function<void(Body&)>& damage) {
        Body body = ControlCodec::encode(message);
        body.erase(body.begin(), body.begin() + ControlCodec::kHeaderBytes);
        damage(body);
        return body;
    };
    PlistValue deep(1);
    for (int i = 0; i <= ControlCodec::kMaxValueDepth; ++i) {
        deep = PlistValue(PlistValue::Array{deep});
    }
    const std::pair<const char*, Body> cases[] = {
        {"wrong version", damaged(RefreshView{}, [](Body& b) { b[0] = kProtocolVersion + 1; })},
        {"unknown kind",
         damaged(RefreshView{}, [](Body& b) { b[1] = std::variant_size_v<Message>; })},
        {"bytes left over", damaged(Result{0}, [](Body& b) { b.push_back(0); })},
        {"boolean 2", damaged(SetPriorityMode{true}, [](Body& b) { b.back() = 2; })},
        {"operation 4", damaged(ServiceCall{}, [](Body& b) { b[2] = 4; })},
        // A list count far beyond what the body holds: refused before anything is allocated.
        {"huge count", damaged(SnapshotReply{}, [](Body& b) { b[2] = b[3] = b[4] = b[5] = 0xFF; })},
        {"too deep", damaged(SetSetting{"logPath", deep}, [](Body&) {})},
        // A date beyond what the clock can count (found by fuzzing: it overflowed).
        {"date beyond the clock",
         damaged(SetSetting{"beginDate", PlistValue(PlistValue::Date{})},
                 [](Body& b) { std::fill(b.end() - 8, b.end() - 1, 0x7F); })}};
    for (const auto& [what, body] : cases) {
        std::string error;
        EXPECT_FALSE(ControlCodec::decode(body.data(), body.size(), error)) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
}

TEST(ControlCodec, LengthsOutsideTheLimitsAreRefused) {
    struct Case {
        std::uint8_t header[4];
        bool accepted;
    };
    const Case cases[] = {{{0, 0, 0, 0}, false},
                          {{0, 0, 0, 1}, true},
                          {{0, 0x10, 0, 0}, true},  // exactly the limit
                          {{0, 0x10, 0, 1}, false},
                          {{0xFF, 0xFF, 0xFF, 0xFF}, false}};
    for (const auto& test : cases) {
        std::string error;
        EXPECT_EQ(ControlCodec::bodyLength(test.header, error).has_value(), test.accepted) << error;
    }
}

}  // namespace
}  // namespace quellbox::control
