// Fuzzed bytes as a token label, a certificate name or a page's origin on their way into a PIN
// or deletion prompt. What comes out must be whole UTF-8 characters with nothing hidden, within
// the limit; the host of an origin must come out as ASCII.
#include "providers/token/PromptText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "providers_fuzz_prompt_text: %s\n", what);
        std::abort();
    }
}

// Nothing left to drop: every byte is part of a whole, shown character.
bool clean(const std::string& text) {
    return providers::token::promptText(text, text.size()) == text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::size_t limit = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string shown = providers::token::promptText(text, limit);
    check(shown.size() <= limit, "a text over its limit");
    check(clean(shown), "a text with a hidden character or a cut sequence");

    const std::string origin = providers::token::promptOrigin(text, limit < 16 ? 16 : limit);
    check(origin.size() <= (limit < 16 ? 16 : limit), "an origin over its limit");
    check(clean(origin), "an origin with a hidden character or a cut sequence");
    const std::size_t scheme = origin.find("://");
    if (scheme != std::string::npos) {
        const std::size_t hostEnd = origin.find_first_of(":/?#", scheme + 3);
        for (std::size_t i = scheme + 3;
             i < (hostEnd == std::string::npos ? origin.size() : hostEnd); ++i) {
            // A cut host ends with the ellipsis, the one character past ASCII it may carry.
            if (origin.compare(i, std::string::npos, "\xE2\x80\xA6") == 0)
                break;
            check(static_cast<unsigned char>(origin[i]) < 0x80,
                  "a host shown with a character past ASCII");
        }
    }

    std::u32string label;
    for (std::size_t i = 0; i + 3 < text.size() && label.size() < 64; i += 4) {
        const auto c = static_cast<char32_t>(
            static_cast<unsigned char>(text[i]) | static_cast<unsigned char>(text[i + 1]) << 8 |
            (static_cast<unsigned char>(text[i + 2]) & 0x1F) << 16);
        label += c > 0x10FFFF ? c & 0xFFFF : c;
    }
    if (const auto encoded = providers::token::punycode(label)) {
        for (const char c : *encoded)
            check(static_cast<unsigned char>(c) < 0x80, "an A-label past ASCII");
    }
    return 0;
}
