#pragma once

#include <cstdint>

class Translator;

// The value "LanguageId" under HKEY_LOCAL_MACHINE\<registryKey> as a number
// (atol of the text); 0 when the key or the value is missing, empty or not a
// number. HKEY_CURRENT_USER is never consulted.
std::uint32_t registryLanguageId(const char* registryKey);

// Hands the registry's language id, when it is not 0, and the manager's
// language file stem to the translator. Without an id the translator falls
// back to the user's default language.
void selectLanguage(Translator& translator, const char* registryKey, const char* languageStem);
