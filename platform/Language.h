// The user's default language as a Windows language id (LANGID), read from the POSIX locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

constexpr uint16_t kLangIdEnglishUs = 1033;

// A locale name of the form language[_TERRITORY][.codeset][@modifier] ("zh_CN.UTF-8") mapped
// to its language id; a known language with an unknown territory gets that language's main id
// ("zh" -> 2052); "C", "POSIX", empty and unknown names give 1033 (English, United States).
uint16_t langIdForLocaleName(std::string_view localeName);

// The locale for messages as POSIX chooses it: LC_ALL, then LC_MESSAGES, then LANG, the first
// that is set and not empty.
uint16_t userDefaultLangId();

} // namespace platform
