// Case folding for names: member, ProgID, type-library and configuration names compare
// without regard to case in ASCII only, the way OLE compares them. Never the locale's tolower:
// under a Turkish or Azeri locale it leaves 'I' alone, so two sides of one decision would
// disagree about which name a spelling means.
#pragma once

#include <string>
#include <string_view>

namespace platform {

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool sameAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    return true;
}

inline std::string asciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = asciiLower(c);
    return out;
}

} // namespace platform
