#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quellbox {

// Texts shown to the user are looked up with their English text as the key; the key is
// also the fallback when no translation is installed or the translation lacks it.
class LocalizedText {
public:
    using Translator = std::function<std::optional<std::string>(const std::string& key)>;

    static std::string lookup(const std::string& key);
    // Installs the translation source (the GUI plugs Qt's translator in); empty removes it.
    static void setTranslator(Translator translator);
};

}  // namespace quellbox
