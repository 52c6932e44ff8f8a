#include "AnsiText.h"

#include <QString>

#include <climits>

namespace crypto {

std::u16string ansiToWide(const char* text) {
    if (text == nullptr || *text == '\0')
        return {};
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
