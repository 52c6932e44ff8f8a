#include "providers/token/PromptText.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace providers::token {
namespace {

struct CodePointRun {
    char32_t first;
    char32_t last;
};

constexpr CodePointRun kHidden[] = {
#include "providers/token/HiddenCodePoints.inc"
};

bool hidden(char32_t c) {
    const auto* run =
        std::upper_bound(std::begin(kHidden), std::end(kHidden), c,
                         [](char32_t value, const CodePointRun& r) { return value < r.first; });
    return run != std::begin(kHidden) && c <= (run - 1)->last;
}

// The code point at `i`, which moves past it; nullopt for a byte that starts no well-formed
// sequence (overlong forms, surrogates and values past U+10FFFF included), and then `i` moves
// one byte on.
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    char32_t value = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        ++i;
        return std::nullopt;
    }
    if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) {
        ++i;
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    return value;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::u32string shownCodePoints(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        if (const auto c = nextCodePoint(text, i); c && !hidden(*c))
            out += *c;
    }
    return out;
}

char32_t asciiLower(char32_t c) {
    return c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c;
}

// One host label: ASCII lower-cased, anything else as its A-label.
std::optional<std::string> labelShown(std::u32string_view label) {
    std::u32string lowered(label);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), asciiLower);
    if (std::all_of(lowered.begin(), lowered.end(), [](char32_t c) { return c < 0x80; }))
        return std::string(lowered.begin(), lowered.end());
    const auto encoded = punycode(lowered);
    if (!encoded)
        return std::nullopt;
    return "xn--" + *encoded;
}

// RFC 3492 parameters.
constexpr std::uint32_t kBase = 36, kTmin = 1, kTmax = 26, kSkew = 38, kDamp = 700;
constexpr std::uint32_t kInitialBias = 72, kInitialN = 0x80;

std::uint32_t adapt(std::uint32_t delta, std::uint32_t points, bool first) {
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((kBase - kTmin) * kTmax) / 2) {
        delta /= kBase - kTmin;
        k += kBase;
    }
    return k + (kBase - kTmin + 1) * delta / (delta + kSkew);
}

char digit(std::uint32_t d) {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

} // namespace

std::optional<std::string> punycode(std::u32string_view label) {
    constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
    if (label.size() >= kMax)
        return std::nullopt;
    std::string out;
    for (char32_t c : label) {
        if (c < 0x80)
            out += static_cast<char>(c);
    }
    const auto basic = static_cast<std::uint32_t>(out.size());
    std::uint32_t handled = basic;
    if (basic > 0)
        out += '-';
    std::uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
    while (handled < label.size()) {
        std::uint32_t next = kMax;
        for (char32_t c : label) {
            if (c >= n && c < next)
                next = c;
        }
        if (next - n > (kMax - delta) / (handled + 1))
            return std::nullopt;
        delta += (next - n) * (handled + 1);
        n = next;
        for (char32_t c : label) {
            if (c < n && ++delta == 0)
                return std::nullopt;
            if (c != n)
                continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = kBase;; k += kBase) {
                const std::uint32_t t = k <= bias ? kTmin : k >= bias + kTmax ? kTmax : k - bias;
                if (q < t)
                    break;
                out += digit(t + (q - t) % (kBase - t));
                q = (q - t) / (kBase - t);
            }
            out += digit(q);
            bias = adapt(delta, handled + 1, handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return out;
}

std::string promptText(std::string_view text, std::size_t limit) {
    static constexpr std::string_view kEllipsis = "\u2026";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = nextCodePoint(text, i);
        if (!c || hidden(*c))
            continue;
        const std::size_t before = out.size();
        appendUtf8(out, *c);
        if (out.size() <= limit)
            continue;
        // Cut: drop whole characters until the ellipsis fits.
        out.resize(before);
        while (!out.empty() && out.size() + kEllipsis.size() > limit) {
            std::size_t end = out.size() - 1;
            while (end > 0 && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80)
                --end;
            out.resize(end);
        }
        if (out.size() + kEllipsis.size() <= limit)
            out += kEllipsis;
        break;
    }
    return out;
}

std::string promptOrigin(std::string_view origin, std::size_t limit) {
    // The bridge accepts no longer origin; the bound keeps the work small for any other caller.
    const std::u32string shown = shownCodePoints(origin.substr(0, 4 * limit));
    const std::size_t scheme = shown.find(U"://");
    std::size_t hostStart = scheme == std::u32string::npos ? 0 : scheme + 3;
    std::size_t hostEnd = hostStart;
    const std::size_t close = shown.find(U']', hostStart);
    const auto addressCharacter = [](char32_t c) {
        return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F') ||
               c == U':' || c == U'.';
    };
    // An address ends its host: anything after the bracket but a port or a path is part of a name.
    const bool closesHost = close != std::u32string::npos &&
                            (close + 1 == shown.size() || std::u32string_view(U":/?#").find(shown[close + 1]) !=
                                                              std::u32string_view::npos);
    if (hostStart < shown.size() && shown[hostStart] == U'[' && closesHost &&
        std::all_of(shown.begin() + static_cast<std::ptrdiff_t>(hostStart) + 1,
                    shown.begin() + static_cast<std::ptrdiff_t>(close), addressCharacter)) {
        // An IPv6 address: nothing to convert. Anything else in brackets is shown as a name.
        hostEnd = close + 1;
        hostStart = hostEnd;
    } else {
        // A bracket's colons are not a port's.
        const bool bracketed = hostStart < shown.size() && shown[hostStart] == U'[' && close != std::u32string::npos;
        hostEnd = std::min(shown.find_first_of(U":/?#", bracketed ? close : hostStart), shown.size());
    }

    std::u32string_view view(shown);
    std::string out;
    for (char32_t c : view.substr(0, hostStart))
        appendUtf8(out, c);
    std::u32string_view host = view.substr(hostStart, hostEnd - hostStart);
    while (true) {
        const std::size_t dot = host.find(U'.');
        const auto label = labelShown(host.substr(0, dot));
        if (!label)
            return promptText("(a web page whose address cannot be shown)", limit);
        out += *label;
        if (dot == std::u32string_view::npos)
            break;
        out += '.';
        host.remove_prefix(dot + 1);
    }
    for (char32_t c : view.substr(hostEnd))
        appendUtf8(out, c);
    return promptText(out, limit);
}

} // namespace providers::token
