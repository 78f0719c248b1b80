#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "control/ControlCodec.h"

namespace quellbox::control {
namespace {

// One message of every kind, with fields that differ from their defaults.
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
            SetDownloadRate{true, 1024.5F}};
}

std::optional<Message> decodeFrame(const std::vector<std::uint8_t>& frame, std::string& error) {
    const auto length = ControlCodec::bodyLength(frame.data(), error);
    if (!length) {
        return std::nullopt;
    }
    EXPECT_EQ(*length, frame.size() - ControlCodec::kHeaderBytes);
    return ControlCodec::decode(frame.data() + ControlCodec::kHeaderBytes, *length, error);
}

TEST(ControlCodec, EveryKindRoundTrips) {
    const auto messages = everyKind();
    ASSERT_EQ(messages.size(), std::variant_size_v<Message>) << "a kind without a sample here";
    for (const auto& message : messages) {
        std::string error;
        const auto decoded = decodeFrame(ControlCodec::encode(message), error);
        ASSERT_TRUE(decoded) << "kind " << message.index() << ": " << error;
        EXPECT_EQ(*decoded, message) << "kind " << message.index();
    }
    std::string error;
    const auto removed =
        decodeFrame(ControlCodec::encode(SetSetting{"logPath", std::nullopt}), error);
    ASSERT_TRUE(removed) << error;
    EXPECT_FALSE(std::get<SetSetting>(*removed).value);
}

// Every shorter body of every kind is refused, never read past its end.
TEST(ControlCodec, EveryTruncatedBodyIsRefused) {
    for (const auto& message : everyKind()) {
        const auto frame = ControlCodec::encode(message);
        const std::vector<std::uint8_t> body(frame.begin() + ControlCodec::kHeaderBytes,
                                             frame.end());
        for (std::size_t size = 0; size < body.size(); ++size) {
            const std::vector<std::uint8_t> cut(body.begin(), body.begin() + size);
            std::string error;
            EXPECT_FALSE(ControlCodec::decode(cut.data(), cut.size(), error))
                << "kind " << message.index() << " cut to " << size << " bytes";
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(ControlCodec, DamagedBodiesAreRefused) {
    const auto body = [](std::vector<std::uint8_t> frame) {
        frame.erase(frame.begin(), frame.begin() + ControlCodec::kHeaderBytes);
        return frame;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> body;
    };
    auto wrongVersion = body(ControlCodec::encode(RefreshView{}));
    wrongVersion[0] = kProtocolVersion + 1;
    auto unknownKind = body(ControlCodec::encode(RefreshView{}));
    unknownKind[1] = std::variant_size_v<Message>;
    auto leftOver = body(ControlCodec::encode(Result{0}));
    leftOver.push_back(0);
    auto badBoolean = body(ControlCodec::encode(SetPriorityMode{true}));
    badBoolean.back() = 2;
    auto badOperation = body(ControlCodec::encode(ServiceCall{}));
    badOperation[2] = 4;
    // A list count far beyond what the body holds: refused before anything is allocated.
    auto hugeCount = body(ControlCodec::encode(SnapshotReply{}));
    hugeCount[2] = hugeCount[3] = hugeCount[4] = hugeCount[5] = 0xFF;
    // A value nested deeper than allowed.
    PlistValue deep(1);
    for (int i = 0; i <= ControlCodec::kMaxValueDepth; ++i) {
        deep = PlistValue(PlistValue::Array{deep});
    }
    const auto tooDeep = body(ControlCodec::encode(SetSetting{"logPath", deep}));
    // A date beyond what the clock can count (found by fuzzing: it overflowed).
    auto farDate =
        body(ControlCodec::encode(SetSetting{"beginDate", PlistValue(PlistValue::Date{})}));
    for (std::size_t i = farDate.size() - 8; i < farDate.size() - 1; ++i) {
        farDate[i] = 0x7F;
    }
    const Case cases[] = {{"wrong version", wrongVersion}, {"unknown kind", unknownKind},
                          {"bytes left over", leftOver},   {"boolean 2", badBoolean},
                          {"operation 4", badOperation},   {"huge count", hugeCount},
                          {"too deep", tooDeep},           {"date beyond the clock", farDate}};
    for (const auto& test : cases) {
        std::string error;
        EXPECT_FALSE(ControlCodec::decode(test.body.data(), test.body.size(), error)) << test.what;
        EXPECT_FALSE(error.empty()) << test.what;
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
