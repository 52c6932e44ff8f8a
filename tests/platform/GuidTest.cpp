#include "platform/Guid.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace {

TEST(Guid, TextLayoutMatchesWindowsFormat) {
    platform::Guid guid;
    guid.data1 = 0x0123ABCD;
    guid.data2 = 0x00EF;
    guid.data3 = 0x4A0B;
    guid.data4 = {0x8C, 0x0D, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
    EXPECT_EQ(platform::guidText(guid), "0123ABCD-00EF-4A0B-8C0D-0123456789AB");

    const auto bytes = platform::guidBytes(guid);
    const std::array<uint8_t, 16> expected{0xCD, 0xAB, 0x23, 0x01, 0xEF, 0x00, 0x0B, 0x4A,
                                           0x8C, 0x0D, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
    EXPECT_EQ(bytes, expected);
}

TEST(Guid, NewTextIsRandomVersion4InUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string text = platform::newGuidText();
        ASSERT_EQ(text.size(), 36u) << text;
        for (size_t pos = 0; pos < text.size(); ++pos) {
            if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
                EXPECT_EQ(text[pos], '-') << text;
            } else {
                const char c = text[pos];
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'))
                    << text;
            }
        }
        EXPECT_EQ(text[14], '4') << text;
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 50u);
}

} // namespace
