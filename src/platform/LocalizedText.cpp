#include "platform/LocalizedText.h"

#include <memory>
#include <mutex>

namespace quellbox {

namespace {
std::mutex translatorMutex;
std::shared_ptr<LocalizedText::Translator> installedTranslator;  // guarded by translatorMutex
}  // namespace

std::string LocalizedText::lookup(const std::string& key) {
    std::shared_ptr<Translator> translator;
    {
        std::lock_guard guard(translatorMutex);
        translator = installedTranslator;
    }
    if (translator && *translator) {
        if (auto translated = (*translator)(key); translated && !translated->empty()) {
            return *translated;
        }
    }
    return key;
}

void LocalizedText::setTranslator(Translator translator) {
    std::lock_guard guard(translatorMutex);
    installedTranslator =
        translator ? std::make_shared<Translator>(std::move(translator)) : nullptr;
}

}  // namespace quellbox
