// What the PIN and deletion questions show of texts from the token, a certificate and the page.
#include "providers/token/PromptText.h"
#include "providers/token/PinStep.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace providers::token {
namespace {

const std::string kRightToLeftOverride = "\xE2\x80\xAE"; // U+202E

// True when no UTF-8 sequence in `text` is cut short or has a stray continuation byte.
bool wholeSequences(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC0 ? 2
                                                  : 0;
        if (length == 0 || text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

class OriginVariable {
public:
    explicit OriginVariable(const char* value) { setenv("KORVAN_CALLER_ORIGIN", value, 1); }
    ~OriginVariable() { unsetenv("KORVAN_CALLER_ORIGIN"); }
};

TEST(PromptText, DropsCodePointsThatHideOrReorderTheLine) {
    // Cc, Cf (bidi overrides and isolates, the zero-width joiner, the BOM), Zl, Zp, Co, Cn.
    const std::string hidden = "\t\n\x7F\xC2\x85" + kRightToLeftOverride +
                               "\xE2\x81\xA6\xE2\x80\x8D\xEF\xBB\xBF\xE2\x80\xA8\xE2\x80\xA9"
                               "\xEE\x80\x80\xF3\xB0\x80\x80\xEF\xBF\xBE\xCD\xB8";
    EXPECT_EQ(promptText("A" + hidden + "B", 200), "AB");
    // Letters of other scripts, spaces and punctuation stay.
    const std::string kept =
        "J\xC3\xBCrgen \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD \xE5\xB1\xB1 \xF0\x9F\x94\x91, Esq.";
    EXPECT_EQ(promptText(kept, 200), kept);
}

TEST(PromptText, DropsMalformedBytesAndKeepsTheRest) {
    // A lone continuation, a sequence cut short, an overlong '/', a surrogate, past U+10FFFF.
    EXPECT_EQ(promptText("a\x80"
                         "b\xE2\x82"
                         "c\xC0\xAF"
                         "d\xED\xA0\x80"
                         "e\xF4\x90\x80\x80"
                         "f",
                         200),
              "abcdef");
}

TEST(PromptText, CutsOnlyBetweenCharactersAndSaysSo) {
    const std::string euro = "\xE2\x82\xAC"; // three bytes each
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += euro;
    for (std::size_t limit = 0; limit <= 30; ++limit) {
        const std::string cut = promptText(text, limit);
        EXPECT_LE(cut.size(), limit);
        EXPECT_TRUE(wholeSequences(cut)) << limit;
        if (limit >= 3) {
            EXPECT_EQ(cut.substr(cut.size() - 3), "\xE2\x80\xA6") << limit; // U+2026
        }
    }
    EXPECT_EQ(promptText(text, text.size()), text);
}

TEST(PromptText, OriginsShowTheirHostAsALabels) {
    // RFC 3492's own sample and a Cyrillic look-alike of "apple".
    EXPECT_EQ(punycode(U"b\u00FCcher"), "bcher-kva");
    EXPECT_EQ(promptOrigin("https://B\xC3\xBC"
                           "cher.Example:8443"),
              "https://xn--bcher-kva.example:8443");
    EXPECT_EQ(promptOrigin("https://\xD0\xB0pple.com"), "https://xn--pple-43d.com");
    EXPECT_EQ(promptOrigin("https://bank.example" + kRightToLeftOverride + "moc.live"),
              "https://bank.examplemoc.live");
    EXPECT_EQ(promptOrigin("http://[::1]:8080"), "http://[::1]:8080");
    // Brackets that hold no address hide nothing from the conversion.
    EXPECT_EQ(promptOrigin("https://[b\xC3\xBC"
                           "cher.example"),
              "https://xn--[bcher-4ya.example");
    // Nor does an address that a name goes on after.
    EXPECT_EQ(promptOrigin("https://[::1]b\xC3\xBC"
                           "cher.example"),
              "https://xn--[::1]bcher-feb.example");
}

TEST(PromptText, TheOriginComesFirstAndNoTokenTextCanReorderThePrompt) {
    OriginVariable origin("https://b\xC3\xBC"
                          "cher.example");
    const TokenDescription token{"Card" + kRightToLeftOverride + "txt.exe", "12\n34", 0};
    const DeletedObjects certificate{true, true, "Alice " + kRightToLeftOverride + "gpj.exe"};
    for (const std::string& description :
         {pinTexts(token, {}).description, deletionTexts(token, "box", certificate).description}) {
        EXPECT_EQ(description.rfind("Requested by https://xn--bcher-kva.example.\n\n", 0), 0u)
            << description;
        EXPECT_EQ(description.find(kRightToLeftOverride), std::string::npos) << description;
        EXPECT_NE(description.find("\"Cardtxt.exe\" (serial 1234)"), std::string::npos)
            << description;
    }
    EXPECT_NE(
        deletionTexts(token, "box", certificate).description.find("Certificate: Alice gpj.exe."),
        std::string::npos);

    // A long label is cut at a character boundary, never inside a sequence.
    std::string euros;
    for (int i = 0; i < 40; ++i)
        euros += "\xE2\x82\xAC";
    EXPECT_TRUE(wholeSequences(pinTexts(TokenDescription{euros, {}, 0}, {}).description));
}

} // namespace
} // namespace providers::token
