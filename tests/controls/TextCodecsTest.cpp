#include "controls/TextCodecs.h"

#include "platform/win/CodePages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace certflows;

TEST(TextCodecs, HexDecodingIsLenient) {
    EXPECT_EQ(hexDecode("00ff7Fa0"), (Bytes{0x00, 0xFF, 0x7F, 0xA0}));
    EXPECT_EQ(hexDecode("ABC"), (Bytes{0xAB})); // a last unpaired character is ignored
    EXPECT_EQ(hexDecode("ZZ"), (Bytes{(35 * 16 + 35) % 256}));
    EXPECT_EQ(hexDecode("G!"), (Bytes{static_cast<BYTE>((16 * 16 + '!') % 256)}));
    EXPECT_EQ(hexText(Bytes{0x0A, 0xBC}), "0ABC");
    EXPECT_EQ(reversed(Bytes{1, 2, 3}), (Bytes{3, 2, 1}));
}

TEST(TextCodecs, Base64ValidityAndRoundTrip) {
    for (const char* good : {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "+/+/"})
        EXPECT_TRUE(base64Valid(good)) << good;
    for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v!A==", "Zm 9", "=Zm9", "Zg==Zm9v"})
        EXPECT_FALSE(base64Valid(bad)) << bad;
    const std::string foobar = "foobar";
    for (size_t n = 0; n <= foobar.size(); ++n) {
        const Bytes bytes(foobar.begin(), foobar.begin() + static_cast<long>(n));
        const std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64Decode(text), bytes);
    }
    EXPECT_EQ(base64Encode(Bytes{'f', 'o', 'o', 'b'}), "Zm9vYg==");
    EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF}), "+/8=");
    EXPECT_FALSE(base64Decode("Zg=").has_value());
}

TEST(TextCodecs, AnsiConversionAndNameCuts) {
    setenv("KORVAN_ANSI_CODEPAGE", "936", 1);
    korvanResetAnsiCodePage();
    EXPECT_EQ(toAnsi(CP_ACP, std::u16string_view(u"a中")), "a\xD6\xD0");
    EXPECT_EQ(toAnsi(CP_THREAD_ACP, std::nullopt), "");
    EXPECT_EQ(fromAnsi(CP_ACP, "a\xD6\xD0"), u"a中");

    char target[4];
    EXPECT_FALSE(copyNameCut(CP_ACP, "\xD6\xD0\xD6\xD0", target, sizeof target));
    EXPECT_STREQ(target, "\xD6\xD0"); // not "\xD6\xD0\xD6"
    EXPECT_TRUE(copyNameCut(CP_ACP, "abc", target, sizeof target));
    EXPECT_STREQ(target, "abc");
    EXPECT_FALSE(copyNameCut(CP_ACP, "a\xD6\xD0\xD6\xD0", target, sizeof target));
    EXPECT_STREQ(target, "a\xD6\xD0");

    setenv("KORVAN_ANSI_CODEPAGE", "65001", 1);
    korvanResetAnsiCodePage();
    EXPECT_FALSE(copyNameCut(CP_ACP, "ab\xE4\xB8\xAD", target, sizeof target));
    EXPECT_STREQ(target, "ab");
    unsetenv("KORVAN_ANSI_CODEPAGE");
    korvanResetAnsiCodePage();

    char whole[4] = "xyz";
    EXPECT_FALSE(copyWhole("abcd", whole, sizeof whole));
    EXPECT_STREQ(whole, "xyz");
    EXPECT_TRUE(copyWhole("abc", whole, sizeof whole));
    EXPECT_STREQ(whole, "abc");
}

TEST(TextCodecs, RsaPublicKeyRecord) {
    RsaPublicKeyRecord record(Bytes{0x30, 0x00});
    const CERT_PUBLIC_KEY_INFO* info = record.info();
    EXPECT_STREQ(info->Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    ASSERT_EQ(info->Algorithm.Parameters.cbData, 2u);
    EXPECT_EQ(info->Algorithm.Parameters.pbData[0], 0x05);
    EXPECT_EQ(info->Algorithm.Parameters.pbData[1], 0x00);
    EXPECT_EQ(info->PublicKey.cbData, 2u);
    EXPECT_EQ(info->PublicKey.cUnusedBits, 0u);
}
