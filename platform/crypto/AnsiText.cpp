#include "AnsiText.h"

#include <QString>

#include <climits>

// The code page functions come from korvan_win; weak so that this library also links against a
// kernel32 layer that has not got them yet (the conversion then reads ANSI as Latin-1).
#pragma weak MultiByteToWideChar
#pragma weak WideCharToMultiByte

namespace crypto {

std::u16string ansiToWide(const char* text) {
    if (text == nullptr || *text == '\0')
        return {};
    if (&MultiByteToWideChar == nullptr) {
        std::u16string out;
        for (const char* p = text; *p != '\0'; ++p)
            out += static_cast<char16_t>(static_cast<unsigned char>(*p));
        return out;
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1)
        return {};
    std::u16string wide(static_cast<size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

std::string wideToAnsi(std::u16string_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX))
        return {};
    if (&WideCharToMultiByte == nullptr) {
        std::string out;
        for (char16_t c : text)
            out += c < 0x100 ? static_cast<char>(c) : '?';
        return out;
    }
    const int wideLength = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), wideLength, out.data(), length, nullptr, nullptr);
    return out;
}

std::u16string utf8ToWide(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toStdU16String();
}

} // namespace crypto
