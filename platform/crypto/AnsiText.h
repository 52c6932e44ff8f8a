// Conversions between the ANSI code page and the wide form the provider interface and the
// certificate names use, over kernel32's code page functions.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace crypto {

// The ANSI text (CP_ACP) as UTF-16, terminator not included.
std::u16string ansiToWide(const char* text);
// UTF-16 text in the ANSI code page; a character the code page lacks becomes its default.
std::string wideToAnsi(std::u16string_view text);
// UTF-8 (as OpenSSL gives certificate texts) to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8ToWide(std::string_view text);

} // namespace crypto
