#include "LanguageSelection.h"

#include "Translator.h"
#include "platform/Registry.h"

#include <cstdlib>
#include <string>

std::uint32_t registryLanguageId(const char* registryKey) {
    if (registryKey == nullptr)
        return 0;
    auto key = platform::RegistryKey::open(platform::RegistryRoot::LocalMachine, registryKey);
    if (!key)
        return 0;
    std::optional<std::string> value = key->stringValue("LanguageId");
    if (!value)
        return 0;
    // The value is read into a 260-byte buffer: longer texts are cut there.
    std::string text = value->substr(0, 259);
    return static_cast<std::uint32_t>(std::atol(text.c_str()));
}

void selectLanguage(Translator& translator, const char* registryKey, const char* languageStem) {
    if (std::uint32_t id = registryLanguageId(registryKey); id != 0)
        translator.setLanguageId(id);
    translator.setStem(languageStem != nullptr ? languageStem : "");
}
