#include <gtest/gtest.h>

#include "platform/LocalizedText.h"

namespace quellbox {
namespace {

TEST(LocalizedText, EnglishKeyIsTheFallback) {
    LocalizedText::setTranslator({});
    EXPECT_EQ(LocalizedText::lookup("NoName Service"), "NoName Service");
    LocalizedText::setTranslator([](const std::string& key) -> std::optional<std::string> {
        if (key == "NoName Service") {
            return "Service sans nom";
        }
        return std::nullopt;
    });
    EXPECT_EQ(LocalizedText::lookup("NoName Service"), "Service sans nom");
    EXPECT_EQ(LocalizedText::lookup("Quit"), "Quit");
    LocalizedText::setTranslator({});
    EXPECT_EQ(LocalizedText::lookup("NoName Service"), "NoName Service");
}

}  // namespace
}  // namespace quellbox
