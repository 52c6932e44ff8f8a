#include "providers/token/AssuanReply.h"

#include <cstring>

namespace providers::token {

namespace {

// gpg-error codes fit in 32 bits; more digits than this cannot be one.
constexpr std::size_t maximumCodeDigits = 10;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool decodeInto(const char* data, std::size_t length, SecurePin& pin) {
    for (std::size_t i = 0; i < length; ++i) {
        char c = data[i];
        if (c == '%') {
            if (i + 2 >= length)
                return false;
            const int high = hexValue(data[i + 1]);
            const int low = hexValue(data[i + 2]);
            if (high < 0 || low < 0)
                return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (!pin.append(c))
            return false;
    }
    return true;
}

} // namespace

AssuanLine readAssuanLine(const char* text, std::size_t length, SecurePin* pin, unsigned long& code) {
    const auto starts = [&](const char* word) {
        const std::size_t n = std::strlen(word);
        return length >= n && std::memcmp(text, word, n) == 0 && (length == n || text[n] == ' ');
    };
    code = 0;
    if (starts("OK"))
        return AssuanLine::ok;
    if (starts("ERR")) {
        for (std::size_t i = 4; i < length && i < 4 + maximumCodeDigits && text[i] >= '0' && text[i] <= '9'; ++i)
            code = code * 10 + static_cast<unsigned long>(text[i] - '0');
        return AssuanLine::error;
    }
    if (starts("D")) {
        if (!pin || !decodeInto(text + 2, length > 2 ? length - 2 : 0, *pin))
            return AssuanLine::refused;
        return AssuanLine::data;
    }
    if (starts("S") || (length > 0 && text[0] == '#'))
        return AssuanLine::comment;
    return AssuanLine::refused;
}

} // namespace providers::token
