// Name folding must not follow the locale: under tr_TR and az_AZ the C library keeps 'I' and 'i'
// apart from each other's case, and non-ASCII bytes never fold.
#include "platform/AsciiCase.h"

#include <gtest/gtest.h>

#include <clocale>

TEST(AsciiCase, FoldsAsciiLettersOnlyWhateverTheLocale) {
    // Whichever of these the system has; the C locale still checks the folding itself.
    for (const char* locale : {"tr_TR.UTF-8", "az_AZ.UTF-8", "C"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr)
            continue;
        EXPECT_TRUE(platform::sameAsciiNoCase("DECRYBYPRIKEY", "DecryByPrikey")) << locale;
        EXPECT_TRUE(platform::sameAsciiNoCase("decrybyprikey", "DecryByPrIkey")) << locale;
        EXPECT_TRUE(platform::sameAsciiNoCase("", "")) << locale;
        EXPECT_FALSE(platform::sameAsciiNoCase("DecryByPrikey", "DecryByPrikey ")) << locale;
        EXPECT_FALSE(platform::sameAsciiNoCase("DecryByPr\xC4\xB0key", "DecryByPrIkey")) << "dotted capital I";
        EXPECT_FALSE(platform::sameAsciiNoCase("DecryByPr\xC4\xB1key", "DecryByPrikey")) << "dotless small i";
        EXPECT_FALSE(platform::sameAsciiNoCase("@[`{", "`{@[")) << "neighbours of the letters";
        EXPECT_EQ(platform::asciiLowered("QXMeridiaControl.SGN.1-\xC3\x89"), "qxmeridiacontrol.sgn.1-\xC3\x89");
        EXPECT_EQ(platform::asciiUpper('i'), 'I');
        EXPECT_EQ(platform::asciiLower('I'), 'i');
    }
    std::setlocale(LC_ALL, "C");
}
