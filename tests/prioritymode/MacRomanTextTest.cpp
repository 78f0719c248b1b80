#include <gtest/gtest.h>

#include "prioritymode/MacRomanText.h"

namespace quellbox {
namespace {

// The characters' places in the table are checked where names are read and written.
TEST(MacRomanText, EveryByteRoundTrips) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) {
        all.push_back(static_cast<char>(byte));
    }
    const std::string utf8 = MacRomanText::decode(all);
    EXPECT_EQ(MacRomanText::encode(utf8), all);
    EXPECT_EQ(MacRomanText::encode("\u20AC"), "\xDB");
}

TEST(MacRomanText, TextsItCannotHoldAreRefused) {
    EXPECT_FALSE(MacRomanText::encode("\u4E2D").has_value());  // not in Mac OS Roman
    EXPECT_FALSE(MacRomanText::encode("\xC3").has_value());    // cut-short UTF-8
    EXPECT_FALSE(MacRomanText::encode("\xFF").has_value());    // no UTF-8 at all
}

}  // namespace
}  // namespace quellbox
