#include "Base64.h"

namespace meridia {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

bool IsValidBase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return false;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (valueOf(text[i]) >= 0)
            continue;
        if (text[i] != '=' || i + 2 < n)
            return false;
        if (i == n - 2 && text[n - 1] != '=')
            return false;
    }
    return true;
}

std::string EncodeBase64(const std::uint8_t* data, std::size_t length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (std::size_t i = 0; i < length; i += 3) {
        const std::size_t left = length - i;
        const std::uint32_t group = (std::uint32_t{data[i]} << 16) |
                                    (left > 1 ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                    (left > 2 ? std::uint32_t{data[i + 2]} : 0);
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += left > 1 ? alphabet[(group >> 6) & 63] : '=';
        out += left > 2 ? alphabet[group & 63] : '=';
    }
    return out;
}

std::vector<std::uint8_t> DecodeBase64(std::string_view text) {
    std::vector<std::uint8_t> out;
    if (!IsValidBase64(text))
        return out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        int pads = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const int value = valueOf(text[i + j]);
            pads += value < 0 ? 1 : 0;
            group = (group << 6) | static_cast<std::uint32_t>(value < 0 ? 0 : value);
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (pads < 2)
            out.push_back(static_cast<std::uint8_t>(group >> 8));
        if (pads < 1)
            out.push_back(static_cast<std::uint8_t>(group));
    }
    return out;
}

} // namespace meridia
