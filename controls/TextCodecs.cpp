#include "controls/TextCodecs.h"

#include <algorithm>
#include <cstring>

namespace certflows {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    return c;
}

int base64Value(char c) {
    const char* at = std::strchr(kBase64Alphabet, c);
    return c != '\0' && at ? static_cast<int>(at - kBase64Alphabet) : -1;
}

} // namespace

std::string hexText(const BYTE* data, size_t length) {
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kHexDigits[data[i] >> 4]);
        text.push_back(kHexDigits[data[i] & 0x0F]);
    }
    return text;
}

Bytes hexDecode(std::string_view text) {
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int first = hexValue(static_cast<unsigned char>(text[i]));
        const int second = hexValue(static_cast<unsigned char>(text[i + 1]));
        bytes.push_back(static_cast<BYTE>((first * 16 + second) & 0xFF));
    }
    return bytes;
}

Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

bool base64Valid(std::string_view text) {
    const size_t n = text.size();
    if (n % 4 != 0)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == '=') {
            if (i + 2 < n)
                return false;
            continue;
        }
        if (base64Value(text[i]) < 0)
            return false;
    }
    return !(n >= 2 && text[n - 2] == '=' && text[n - 1] != '=');
}

std::string base64Encode(const BYTE* data, size_t length) {
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const size_t left = std::min<size_t>(3, length - i);
        const unsigned group = (unsigned(data[i]) << 16) | (left > 1 ? unsigned(data[i + 1]) << 8 : 0) |
                               (left > 2 ? unsigned(data[i + 2]) : 0);
        text.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
        text.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
        text.push_back(left > 1 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=');
        text.push_back(left > 2 ? kBase64Alphabet[group & 0x3F] : '=');
    }
    return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (!base64Valid(text))
        return std::nullopt;
    Bytes bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned group = 0;
        int pads = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            group <<= 6;
            if (c == '=')
                ++pads;
            else
                group |= static_cast<unsigned>(base64Value(c));
        }
        bytes.push_back(static_cast<BYTE>(group >> 16));
        if (pads < 2)
            bytes.push_back(static_cast<BYTE>(group >> 8));
        if (pads < 1)
            bytes.push_back(static_cast<BYTE>(group));
    }
    return bytes;
}

std::string toAnsi(UINT codePage, std::optional<std::u16string_view> text) {
    if (!text || text->empty())
        return {};
    const int wide = static_cast<int>(text->size());
    const int length = WideCharToMultiByte(codePage, 0, text->data(), wide, NULL, 0, NULL, NULL);
    if (length <= 0)
        return {};
    std::string ansi(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text->data(), wide, ansi.data(), length, NULL, NULL);
    return ansi;
}

std::u16string fromAnsi(UINT codePage, std::string_view text) {
    if (text.empty())
        return {};
    const int narrow = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), narrow, NULL, 0);
    if (length <= 0)
        return {};
    std::u16string wide(static_cast<size_t>(length), u'\0');
    MultiByteToWideChar(codePage, 0, text.data(), narrow, wide.data(), length);
    return wide;
}

bool copyNameCut(UINT codePage, const char* source, char* target, size_t targetSize) {
    if (targetSize == 0)
        return false;
    const size_t length = std::strlen(source);
    if (length < targetSize) {
        std::memcpy(target, source, length + 1);
        return true;
    }
    // A prefix that ends inside a double-byte character does not decode strictly; the longest
    // one that does ends on a character boundary.
    size_t cut = targetSize - 1;
    while (cut > 0 &&
           MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, source, static_cast<int>(cut), NULL, 0) <= 0)
        --cut;
    std::memcpy(target, source, cut);
    std::memset(target + cut, 0, targetSize - cut);
    return false;
}

bool copyWhole(std::string_view text, char* target, size_t targetSize) {
    if (text.size() >= targetSize)
        return false;
    std::memcpy(target, text.data(), text.size());
    target[text.size()] = '\0';
    return true;
}

RsaPublicKeyRecord::RsaPublicKeyRecord(Bytes key) : key_(std::move(key)) {
    std::strcpy(oid_, szOID_RSA_RSA);
    info_.Algorithm.pszObjId = oid_;
    info_.Algorithm.Parameters.cbData = sizeof nullParameters_;
    info_.Algorithm.Parameters.pbData = nullParameters_;
    info_.PublicKey.cbData = static_cast<DWORD>(key_.size());
    info_.PublicKey.pbData = key_.data();
    info_.PublicKey.cUnusedBits = 0;
}

} // namespace certflows
