#include "platform/Language.h"

#include "platform/AsciiCase.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <string>

namespace platform {

namespace {

struct LocaleLangId {
    std::string_view language;
    std::string_view territory; // empty: the language's main id, used for other territories
    uint16_t langId;
};

// clang-format off
constexpr std::array kLocaleTable{
    LocaleLangId{"ar", "",   1025}, LocaleLangId{"ar", "SA", 1025}, LocaleLangId{"ar", "EG", 3073},
    LocaleLangId{"bg", "",   1026}, LocaleLangId{"ca", "",   1027}, LocaleLangId{"cs", "",   1029},
    LocaleLangId{"da", "",   1030},
    LocaleLangId{"de", "",   1031}, LocaleLangId{"de", "DE", 1031}, LocaleLangId{"de", "CH", 2055},
    LocaleLangId{"de", "AT", 3079}, LocaleLangId{"de", "LU", 4103}, LocaleLangId{"de", "LI", 5127},
    LocaleLangId{"el", "",   1032},
    LocaleLangId{"en", "",   1033}, LocaleLangId{"en", "US", 1033}, LocaleLangId{"en", "GB", 2057},
    LocaleLangId{"en", "AU", 3081}, LocaleLangId{"en", "CA", 4105}, LocaleLangId{"en", "NZ", 5129},
    LocaleLangId{"en", "IE", 6153}, LocaleLangId{"en", "ZA", 7177}, LocaleLangId{"en", "IN", 16393},
    LocaleLangId{"en", "SG", 18441},
    LocaleLangId{"es", "",   3082}, LocaleLangId{"es", "ES", 3082}, LocaleLangId{"es", "MX", 2058},
    LocaleLangId{"es", "AR", 11274},
    LocaleLangId{"et", "",   1061}, LocaleLangId{"fi", "",   1035},
    LocaleLangId{"fr", "",   1036}, LocaleLangId{"fr", "FR", 1036}, LocaleLangId{"fr", "BE", 2060},
    LocaleLangId{"fr", "CA", 3084}, LocaleLangId{"fr", "CH", 4108},
    LocaleLangId{"he", "",   1037}, LocaleLangId{"hr", "",   1050}, LocaleLangId{"hu", "",   1038},
    LocaleLangId{"id", "",   1057}, LocaleLangId{"it", "",   1040}, LocaleLangId{"it", "CH", 2064},
    LocaleLangId{"ja", "",   1041}, LocaleLangId{"ko", "",   1042}, LocaleLangId{"lt", "",   1063},
    LocaleLangId{"lv", "",   1062}, LocaleLangId{"ms", "",   1086}, LocaleLangId{"nb", "",   1044},
    LocaleLangId{"nl", "",   1043}, LocaleLangId{"nl", "BE", 2067}, LocaleLangId{"nn", "",   2068},
    LocaleLangId{"pl", "",   1045},
    LocaleLangId{"pt", "",   1046}, LocaleLangId{"pt", "BR", 1046}, LocaleLangId{"pt", "PT", 2070},
    LocaleLangId{"ro", "",   1048}, LocaleLangId{"ru", "",   1049}, LocaleLangId{"sk", "",   1051},
    LocaleLangId{"sl", "",   1060}, LocaleLangId{"sv", "",   1053}, LocaleLangId{"sv", "FI", 2077},
    LocaleLangId{"th", "",   1054}, LocaleLangId{"tr", "",   1055}, LocaleLangId{"uk", "",   1058},
    LocaleLangId{"vi", "",   1066},
    LocaleLangId{"zh", "",   2052}, LocaleLangId{"zh", "CN", 2052}, LocaleLangId{"zh", "TW", 1028},
    LocaleLangId{"zh", "HK", 3076}, LocaleLangId{"zh", "SG", 4100}, LocaleLangId{"zh", "MO", 5124},
};
// clang-format on

// ASCII only: under a Turkish locale the C library's tolower leaves "IT" as "It".
std::string lowered(std::string_view text) {
    return asciiLowered(text);
}

std::string uppered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = asciiUpper(c);
    return out;
}

} // namespace

uint16_t langIdForLocaleName(std::string_view localeName) {
    // Codeset and modifier do not change the language.
    localeName = localeName.substr(0, localeName.find_first_of(".@"));
    // BCP 47 spells the separator with a hyphen ("en-US").
    const auto separator = localeName.find_first_of("_-");
    const std::string language = lowered(localeName.substr(0, separator));
    const std::string territory =
        separator == std::string_view::npos ? "" : uppered(localeName.substr(separator + 1));

    const LocaleLangId* languageDefault = nullptr;
    for (const auto& entry : kLocaleTable) {
        if (entry.language != language)
            continue;
        if (entry.territory == territory)
            return entry.langId;
        if (entry.territory.empty())
            languageDefault = &entry;
    }
    return languageDefault != nullptr ? languageDefault->langId : kLangIdEnglishUs;
}

uint16_t userDefaultLangId() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return langIdForLocaleName(value);
    }
    return kLangIdEnglishUs;
}

} // namespace platform
