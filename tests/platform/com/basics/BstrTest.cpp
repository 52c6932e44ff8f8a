#include <oleauto.h>

#include "platform/com/Utf16.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The byte length Windows keeps in the four bytes before the characters.
std::uint32_t storedPrefix(BSTR bstr) {
    std::uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<const char*>(bstr) - 4, sizeof prefix);
    return prefix;
}

TEST(Bstr, NullReadsAsEmptyText) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    EXPECT_TRUE(platform::bstrView(nullptr).empty());
    SysFreeString(nullptr);
}

TEST(Bstr, EmptyTextIsANonNullTerminatedString) {
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(storedPrefix(empty), 0u);
    EXPECT_EQ(empty[0], u'\0');
    SysFreeString(empty);
}

TEST(Bstr, LengthPrefixCountsBytesAndKeepsEmbeddedZeros) {
    BSTR text = SysAllocStringLen(u"a\0b", 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(SysStringByteLen(text), 6u);
    EXPECT_EQ(storedPrefix(text), 6u);
    EXPECT_EQ(platform::bstrView(text), std::u16string_view(u"a\0b", 3));
    EXPECT_EQ(text[3], u'\0');
    SysFreeString(text);

    // SysAllocString stops at the first zero.
    BSTR cut = SysAllocString(u"a\0b");
    EXPECT_EQ(SysStringLen(cut), 1u);
    SysFreeString(cut);
}

TEST(Bstr, AllocationWithoutSourceIsZeroFilled) {
    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(platform::bstrView(blank), std::u16string_view(u"\0\0\0\0", 4));
    SysFreeString(blank);
}

TEST(Bstr, ByteLengthStringsKeepAnOddLengthAndATerminator) {
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
    SysFreeString(bytes);
}

TEST(Bstr, OverflowingLengthsAreRefused) {
    EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x40000000u), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, UINT_MAX), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0x7FFFFFFFu), nullptr);
}

TEST(Bstr, ReallocationMayTakeItsTextFromTheOldString) {
    BSTR text = SysAllocString(u"hello world");
    ASSERT_TRUE(SysReAllocString(&text, text + 6));
    EXPECT_EQ(platform::bstrView(text), u"world");
    ASSERT_TRUE(SysReAllocStringLen(&text, text, 3));
    EXPECT_EQ(platform::bstrView(text), u"wor");
    SysFreeString(text);
}

TEST(Bstr, Utf8HelpersRoundTripAndReplaceMalformedInput) {
    BSTR text = platform::bstrFromUtf8("中文 é");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(platform::bstrView(text), u"中文 é");
    EXPECT_EQ(platform::utf8FromUtf16(platform::bstrView(text)), "中文 é");
    SysFreeString(text);

    EXPECT_EQ(platform::utf16FromUtf8("a\xC3("), u"a\uFFFD(");
    EXPECT_EQ(platform::utf8FromUtf16(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::utf16FromUtf8(""), u"");
}

} // namespace
