#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "platform/PlistValue.h"

namespace quellbox {
namespace {

using namespace std::chrono;

TEST(PlistValue, EveryTypeSurvivesAnXmlRoundTrip) {
    const PlistValue::Dictionary nested{{"inner", PlistValue(PlistValue::Array{1, "two", 3.5})}};
    const std::vector<PlistValue> values = {
        PlistValue("plain text"),
        PlistValue("accents \xC3\xA9\xC3\xA8 & <markup> \"quotes\""),
        PlistValue(""),
        PlistValue(0),
        PlistValue(-5000),
        PlistValue(std::numeric_limits<std::int64_t>::max()),
        PlistValue(std::int64_t{5'000'000'000}),
        PlistValue(3.25),
        PlistValue(-0.5F),
        PlistValue(true),
        PlistValue(false),
        PlistValue(PlistValue::Date(seconds(1700000000))),
        // Whole seconds on both sides of the property lists' epoch, 2001-01-01.
        PlistValue(PlistValue::Date(seconds(0))),
        PlistValue(PlistValue::Date(seconds(978307200))),
        PlistValue(PlistValue::Date(seconds(978307199))),
        PlistValue(PlistValue::Data{0, 1, 2, 255}),
        PlistValue(PlistValue::Array{}),
        PlistValue(PlistValue::Array{"a", 1, false}),
        PlistValue(nested),
    };
    for (const auto& value : values) {
        const auto back = PlistValue::fromXml(value.toXml());
        ASSERT_TRUE(back.has_value()) << value.toXml();
        EXPECT_EQ(back->type(), value.type()) << value.toXml();
        EXPECT_EQ(*back, value) << value.toXml();
    }
}

TEST(PlistValue, NumbersCompareByValueAcrossKinds) {
    EXPECT_EQ(PlistValue(1), PlistValue(1.0));
    EXPECT_EQ(PlistValue(1), PlistValue(true));
    EXPECT_EQ(PlistValue(0.0), PlistValue(false));
    EXPECT_FALSE(PlistValue(1) == PlistValue(1.5));
    EXPECT_FALSE(PlistValue(1) == PlistValue("1"));
    EXPECT_FALSE(PlistValue(PlistValue::Array{1}) == PlistValue(PlistValue::Array{1, 2}));
    EXPECT_FALSE(PlistValue(PlistValue::Dictionary{{"a", 1}}) ==
                 PlistValue(PlistValue::Dictionary{{"b", 1}}));
    EXPECT_FALSE(PlistValue(PlistValue::Dictionary{{"a", 1}}) ==
                 PlistValue(PlistValue::Dictionary{{"a", 2}}));
}

TEST(PlistValue, ConversionsFollowNumberAndTextRules) {
    EXPECT_EQ(PlistValue("12abc").integerValue(), 12);
    EXPECT_FLOAT_EQ(PlistValue(" 2.5").floatValue(), 2.5F);
    EXPECT_EQ(PlistValue("junk").integerValue(), 0);
    EXPECT_TRUE(PlistValue("YES").boolValue());
    EXPECT_TRUE(PlistValue("7").boolValue());
    EXPECT_FALSE(PlistValue("NO").boolValue());
    // A switch stored by hand as a number reads as set when the number is not 0.
    EXPECT_TRUE(PlistValue(1).boolValue());
    EXPECT_FALSE(PlistValue(0).boolValue());
    EXPECT_TRUE(PlistValue(0.5).boolValue());
    EXPECT_EQ(PlistValue(41.9).integerValue(), 41);
    EXPECT_EQ(PlistValue(-41.9).integerValue(), -41);
    EXPECT_EQ(PlistValue(1e300).integerValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(PlistValue(PlistValue::Array{5}).integerValue(), 0);
    EXPECT_FALSE(PlistValue(PlistValue::Array{5}).boolValue());
    EXPECT_EQ(PlistValue(true).integerValue(), 1);
    EXPECT_EQ(PlistValue(-5000).stringValue(), "-5000");
}

TEST(PlistValue, GarbageAndEmptyInputAreNotPropertyLists) {
    EXPECT_FALSE(PlistValue::fromXml("").has_value());
    EXPECT_FALSE(PlistValue::fromXml("not a plist at all").has_value());
    EXPECT_FALSE(
        PlistValue::fromXml("<?xml version=\"1.0\"?><plist><dict><key>a</key>").has_value());
}

// A NUL byte inside a text must neither end the process nor survive into a value that could
// not be written back as read.
TEST(PlistValue, TextsWithANulByteEndThere) {
    using namespace std::string_literals;
    const auto parsed = PlistValue::fromXml(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>logPath</key>"
        "<string>/srv/log\0tail</string></dict></plist>"s);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->asDictionary().at("logPath"), PlistValue("/srv/log"));
}

}  // namespace
}  // namespace quellbox
