#include <windows.h>

#include "platform/win/CodePages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// Every test starts from a clean environment for the code page choice and puts the original
// back afterwards, so the order of tests does not matter.
class CodePages : public ::testing::Test {
protected:
    static constexpr const char* kVariables[] = {"LC_ALL", "LC_CTYPE", "LANG", "LC_MESSAGES",
                                                 "KORVAN_ANSI_CODEPAGE"};

    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        korvanResetAnsiCodePage();
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        korvanResetAnsiCodePage();
    }

    static void useLocale(const char* name) {
        setenv("LC_ALL", name, 1);
        korvanResetAnsiCodePage();
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Converts through the length query, as callers do.
std::string toAnsi(UINT codePage, std::u16string_view text, BOOL* usedDefault = nullptr,
                   LPCCH defaultChar = nullptr, DWORD flags = 0) {
    const int size =
        WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                            defaultChar, usedDefault);
    EXPECT_GT(size, 0) << "last error " << GetLastError();
    std::string out(static_cast<size_t>(std::max(size, 0)), '\0');
    const int written =
        WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(),
                            size, defaultChar, usedDefault);
    EXPECT_EQ(written, size);
    return out;
}

std::u16string toWide(UINT codePage, std::string_view bytes, DWORD flags = 0) {
    const int size = MultiByteToWideChar(codePage, flags, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    EXPECT_GT(size, 0) << "last error " << GetLastError();
    std::u16string out(static_cast<size_t>(std::max(size, 0)), u'\0');
    EXPECT_EQ(MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                  out.data(), size),
              size);
    return out;
}

TEST_F(CodePages, LocaleNamesTheWindowsCodePageOfItsLanguage) {
    const std::pair<const char*, UINT> cases[] = {
        {"zh_CN.UTF-8", 936}, {"zh_SG", 936},       {"zh", 936},           {"zh_TW.UTF-8", 950},
        {"zh_HK", 950},       {"ja_JP.UTF-8", 932}, {"ko_KR.EUC-KR", 949}, {"ru_RU.UTF-8", 1251},
        {"uk_UA", 1251},      {"bg_BG", 1251},      {"pl_PL.UTF-8", 1250}, {"cs_CZ", 1250},
        {"hu_HU", 1250},      {"el_GR", 1253},      {"tr_TR", 1254},       {"he_IL", 1255},
        {"ar_EG", 1256},      {"et_EE", 1257},      {"lv_LV", 1257},       {"lt_LT", 1257},
        {"vi_VN", 1258},      {"th_TH", 874},       {"de_DE@euro", 1252},  {"en_US.UTF-8", 1252},
        {"C", 1252},          {"POSIX", 1252},      {"C.UTF-8", 1252},     {"xx_YY", 1252},
    };
    for (const auto& [locale, codePage] : cases) {
        useLocale(locale);
        EXPECT_EQ(GetACP(), codePage) << locale;
    }
    unsetenv("LC_ALL");
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 1252u) << "no locale at all";
}

TEST_F(CodePages, LocaleComesFromLcAllThenLcCtypeThenLang) {
    setenv("LANG", "ru_RU.UTF-8", 1);
    setenv("LC_CTYPE", "ja_JP.UTF-8", 1);
    setenv("LC_MESSAGES", "ko_KR.UTF-8", 1); // messages do not choose the code page
    setenv("LC_ALL", "", 1);                 // empty counts as unset
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 932u);
    EXPECT_EQ(GetSystemDefaultLangID(), 1041);

    unsetenv("LC_CTYPE");
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 1251u);

    setenv("LC_ALL", "zh_TW.UTF-8", 1);
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 950u);
    EXPECT_EQ(GetSystemDefaultLangID(), 1028);
}

TEST_F(CodePages, OverrideWinsAndUnusableOverridesAreIgnored) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    setenv("KORVAN_ANSI_CODEPAGE", "936", 1);
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 936u);
    EXPECT_EQ(toAnsi(CP_ACP, u"中文"), "\xD6\xD0\xCE\xC4");

    setenv("KORVAN_ANSI_CODEPAGE", "65001", 1);
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 65001u);
    EXPECT_EQ(toAnsi(CP_ACP, u"中"), "\xE4\xB8\xAD");

    for (const char* unusable : {"437", "abc", "9361", "", "-1"}) {
        setenv("KORVAN_ANSI_CODEPAGE", unusable, 1);
        korvanResetAnsiCodePage();
        EXPECT_EQ(GetACP(), 1252u) << unusable;
    }
}

TEST_F(CodePages, ChoiceIsKeptUntilReset) {
    useLocale("zh_CN.UTF-8");
    EXPECT_EQ(GetACP(), 936u);
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(GetACP(), 936u);
    korvanResetAnsiCodePage();
    EXPECT_EQ(GetACP(), 1251u);
}

TEST_F(CodePages, ChineseSystemConvertsToGbkWhateverTheLinuxCharset) {
    useLocale("zh_CN.UTF-8");
    for (UINT codePage : {CP_ACP, CP_THREAD_ACP, 936u}) {
        EXPECT_EQ(toAnsi(codePage, u"中文"), "\xD6\xD0\xCE\xC4") << codePage;
        EXPECT_EQ(toWide(codePage, "\xD6\xD0\xCE\xC4"), u"中文") << codePage;
    }
    EXPECT_EQ(toAnsi(CP_ACP, u"a€b"), "a\x80"
                                      "b");
}

TEST_F(CodePages, DoubleByteAndCyrillicTablesAreWindows) {
    EXPECT_EQ(toAnsi(950, u"中文"), "\xA4\xA4\xA4\xE5");
    EXPECT_EQ(toAnsi(932, u"あ"), "\x82\xA0");
    EXPECT_EQ(toAnsi(949, u"가"), "\xB0\xA1");
    EXPECT_EQ(toAnsi(1251, u"Жж"), "\xC6\xE6");
    EXPECT_EQ(toWide(950, "\xA4\xA4"), u"中");
}

TEST_F(CodePages, WesternPageMapsAccentsAndReplacesWhatItLacks) {
    useLocale("en_US.UTF-8");
    BOOL usedDefault = TRUE;
    EXPECT_EQ(toAnsi(CP_ACP, u"é", &usedDefault), "\xE9");
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(toWide(CP_ACP, "caf\xE9"), u"café");

    EXPECT_EQ(toAnsi(CP_ACP, u"a中b", &usedDefault), "a?b");
    EXPECT_TRUE(usedDefault);
    usedDefault = FALSE;
    EXPECT_EQ(toAnsi(CP_ACP, u"中", &usedDefault, "*"), "*");
    EXPECT_TRUE(usedDefault);
    // A character outside the basic plane is one missing character, not two.
    EXPECT_EQ(toAnsi(CP_ACP, u"x\U0001F600y"), "x?y");
    // Bytes the table leaves open stand for the C1 control of the same value, both ways.
    EXPECT_EQ(toWide(1252, "\x81"), std::u16string(1, char16_t(0x81)));
    EXPECT_EQ(toAnsi(1252, std::u16string(1, char16_t(0x81))), "\x81");
}

TEST_F(CodePages, VietnamesePageConvertsByteForByte) {
    // A letter and the combining accent after it stay two characters, and a letter the page
    // lacks is missing rather than decomposed.
    EXPECT_EQ(toWide(1258, "a\xEC"), u"a\u0301");
    EXPECT_EQ(toAnsi(1258, u"\u00EAa\u0301"), "\xEA"
                                              "a\xEC");
    BOOL usedDefault = FALSE;
    EXPECT_EQ(toAnsi(1258, u"\u1EBF", &usedDefault), "?");
    EXPECT_TRUE(usedDefault);
}

TEST_F(CodePages, DoubleByteDefaultCharacterIsOneWholeCharacter) {
    BOOL usedDefault = FALSE;
    EXPECT_EQ(toAnsi(936, u"中\u0E01", &usedDefault, "\xA3\xBF"), "\xD6\xD0\xA3\xBF");
    EXPECT_TRUE(usedDefault);
}

TEST_F(CodePages, Utf8CoversEveryCharacterAndTakesNoDefault) {
    EXPECT_EQ(toAnsi(CP_UTF8, u"中文é\U0001F600"),
              "\xE4\xB8\xAD\xE6\x96\x87\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(toWide(CP_UTF8, "\xE4\xB8\xAD\xE6\x96\x87\xC3\xA9\xF0\x9F\x98\x80"),
              u"中文é\U0001F600");

    BOOL usedDefault = FALSE;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 0, nullptr, &usedDefault), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 0, "?", nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CodePages, UnpairedSurrogatesAreReplacedOrRefused) {
    const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    EXPECT_EQ(toAnsi(CP_UTF8, lone), "a\xEF\xBF\xBD"
                                     "b\xEF\xBF\xBD");
    BOOL usedDefault = FALSE;
    EXPECT_EQ(toAnsi(1252, lone, &usedDefault), "a?b?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(toAnsi(936, std::u16string(1, char16_t(0xDBFF))), "?");

    char out[16];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.data(), 4, out, sizeof out,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST_F(CodePages, InvalidMultiByteInputGivesReplacementOrFailsWhenAsked) {
    // UTF-8: a cut sequence, an overlong form, an encoded surrogate.
    EXPECT_EQ(toWide(CP_UTF8, "a\xC3(b"), u"a\uFFFD(b");
    EXPECT_EQ(toWide(CP_UTF8, "\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(toWide(CP_UTF8, "\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(toWide(CP_UTF8, "\xE4\xB8"), u"\uFFFD");
    // GBK: a lead byte at the end, and one followed by a byte that cannot trail it.
    EXPECT_EQ(toWide(936, "a\x81"), u"a\uFFFD");
    EXPECT_EQ(toWide(936, "\x81 x"), u"\uFFFD x");

    char16_t out[8];
    for (const auto& [codePage, bytes] :
         {std::pair<UINT, std::string>{CP_UTF8, "a\xC3("}, {936u, "a\x81"}, {936u, "\x81 "}}) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                      static_cast<int>(bytes.size()), out, 8),
                  0)
            << codePage;
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION) << codePage;
    }
}

TEST_F(CodePages, LengthsFollowWindowsConventions) {
    useLocale("zh_CN.UTF-8");
    // -1: up to and including the terminator.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中文", -1, nullptr, 0, nullptr, nullptr), 5);
    char bytes[8];
    std::memset(bytes, 'x', sizeof bytes);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中文", -1, bytes, sizeof bytes, nullptr, nullptr),
              5);
    EXPECT_STREQ(bytes, "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xD6\xD0\xCE\xC4", -1, nullptr, 0), 3);

    // An explicit length converts exactly that, embedded zeros included, and adds no terminator.
    std::memset(bytes, 'x', sizeof bytes);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\0b", 3, bytes, sizeof bytes, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(bytes, 4), std::string("a\0bx", 4));

    // Too small a buffer fails and is left alone.
    std::memset(bytes, 'x', sizeof bytes);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中文", -1, bytes, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(bytes[0], 'x');
    char16_t wide[2];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(CodePages, InvalidParametersAndFlagsAreRefused) {
    char bytes[8];
    char16_t wide[8];
    const auto expectError = [](int result, DWORD error, const char* what) {
        EXPECT_EQ(result, 0) << what;
        EXPECT_EQ(GetLastError(), error) << what;
    };
    const DWORD badParameter = ERROR_INVALID_PARAMETER;
    expectError(MultiByteToWideChar(CP_ACP, 0, nullptr, 3, wide, 8), badParameter, "null input");
    expectError(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8), badParameter, "zero input");
    expectError(MultiByteToWideChar(CP_ACP, 0, "abc", -2, wide, 8), badParameter, "length -2");
    expectError(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, -1), badParameter, "output -1");
    expectError(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 8), badParameter, "null output");
    expectError(MultiByteToWideChar(12345, 0, "abc", 3, wide, 8), badParameter, "unknown page");
    expectError(MultiByteToWideChar(CP_OEMCP, 0, "abc", 3, wide, 8), badParameter, "OEM page");
    expectError(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8),
                ERROR_INVALID_FLAGS, "UTF-8 flag");
    expectError(MultiByteToWideChar(CP_ACP, 0x100, "abc", 3, wide, 8), ERROR_INVALID_FLAGS,
                "unknown flag");

    expectError(WideCharToMultiByte(CP_ACP, 0, nullptr, 3, bytes, 8, nullptr, nullptr),
                badParameter, "null input");
    expectError(WideCharToMultiByte(CP_ACP, 0, u"abc", 0, bytes, 8, nullptr, nullptr), badParameter,
                "zero input");
    expectError(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, nullptr, 8, nullptr, nullptr),
                badParameter, "null output");
    expectError(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, bytes, -5, nullptr, nullptr),
                badParameter, "output -5");
    expectError(WideCharToMultiByte(CP_ACP, 0x1, u"abc", 3, bytes, 8, nullptr, nullptr),
                ERROR_INVALID_FLAGS, "unknown flag");
}

} // namespace
