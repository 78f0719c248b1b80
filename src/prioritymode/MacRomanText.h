#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quellbox {

// The 8-bit Mac OS Roman encoding of the server's log and of the default priorities file,
// converted to and from the UTF-8 texts the rest of the program uses.
class MacRomanText {
public:
    // Every byte has a character, so decoding always succeeds.
    static std::string decode(std::string_view bytes);
    // Nothing when the text is not valid UTF-8 or holds a character Mac OS Roman lacks:
    // such a text cannot be written without losing it.
    static std::optional<std::string> encode(std::string_view utf8);
};

}  // namespace quellbox
