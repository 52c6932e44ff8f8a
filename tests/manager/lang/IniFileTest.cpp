#include "IniFile.h"

#include <gtest/gtest.h>

namespace {

std::string value(IniFile& ini, const char* section, const char* key) {
    IniSection* s = ini.section(section);
    return s ? s->get(key) : std::string("<no section>");
}

TEST(IniFile, EntriesCommentsAndIgnoredLines) {
    IniFile ini;
    ASSERT_TRUE(ini.loadText("; comment\n"
                             "# another\n"
                             "[strings]\r\n"
                             "   \t  \n"
                             "no equals sign here\n"
                             "  805 = Wrong PIN \n"
                             "\n"
                             "key=last line without newline"));
    EXPECT_EQ(value(ini, "strings", "805"), " Wrong PIN ");
    EXPECT_EQ(value(ini, "strings", "key"), "last line without newline");
    EXPECT_EQ(ini.section("strings")->size(), 2u);
}

TEST(IniFile, SectionHeaders) {
    IniFile ini;
    ASSERT_TRUE(ini.loadText("[a]b] trailing\nk=1\n[strings]\nx=1\n[other]\n[strings]\ny=2\n"));
    EXPECT_EQ(value(ini, "a]b", "k"), "1");
    EXPECT_EQ(value(ini, "strings", "x"), "1");
    EXPECT_EQ(value(ini, "strings", "y"), "2");
    EXPECT_EQ(ini.section("Strings"), nullptr) << "names are case-sensitive";
}

TEST(IniFile, RejectedLinesFailTheLoad) {
    IniFile ini;
    EXPECT_FALSE(ini.loadText("k=v\n[s]\n")) << "entry before any section";
    EXPECT_FALSE(ini.loadText("[s]\nk=1\nk=2\n")) << "repeated key";
    EXPECT_FALSE(ini.loadText("[]\n")) << "empty section name";
    EXPECT_FALSE(ini.loadText("[open\n")) << "header without ]";
    EXPECT_TRUE(ini.loadText("[s]\nk=1\n[t]\nk=2\n")) << "same key in two sections";
}

TEST(IniFile, MissingFileKeepsEarlierSections) {
    IniFile ini;
    ASSERT_TRUE(ini.loadText("[s]\nk=v\n"));
    EXPECT_FALSE(ini.load("/nonexistent/dir/file.lng"));
    EXPECT_EQ(value(ini, "s", "k"), "v");
}

TEST(IniFile, GetReturnsMarkerForMissingKey) {
    IniSection s("x");
    EXPECT_TRUE(s.set("a", "1"));
    EXPECT_FALSE(s.set("a", "2"));
    EXPECT_EQ(s.get("a"), "1");
    EXPECT_EQ(s.get("b"), NoValueMarker);
    std::string marker = NoValueMarker;
    ASSERT_EQ(marker.size(), 8u + 32u);
    EXPECT_EQ(marker.substr(0, 8), "DEFAULT_");
    for (char c : marker.substr(8))
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << c;
}

TEST(IniFile, Unescaping) {
    EXPECT_EQ(unescapeIniValue("a\\nb"), "a\nb");
    EXPECT_EQ(unescapeIniValue("a\\rb\\tc"), "a\rb\tc");
    EXPECT_EQ(unescapeIniValue("a\\\\nb"), "a\\nb");
    EXPECT_EQ(unescapeIniValue("a\\\\\\\\b"), "a\\b");
    EXPECT_EQ(unescapeIniValue("\\\\\\\\n"), "\\n");
    EXPECT_EQ(unescapeIniValue("plain"), "plain");
}

// The rules as written: replace the first occurrence, search again from the start.
std::string unescapeByRescanning(std::string value) {
    auto replace = [&value](const std::string& what, const std::string& by) {
        for (std::size_t pos = value.find(what); pos != std::string::npos; pos = value.find(what))
            value.replace(pos, what.size(), by);
    };
    const std::string marker(1, '\x01');
    for (const char* letter : {"r", "n", "t"}) {
        const std::string control = letter[0] == 'r' ? "\r" : letter[0] == 'n' ? "\n" : "\t";
        replace(std::string("\\\\") + letter, marker);
        replace(std::string("\\") + letter, control);
        replace(marker, std::string("\\\\") + letter);
    }
    replace("\\\\", "\\");
    return value;
}

TEST(IniFile, UnescapingMatchesTheRescanningRulesOnRandomValues) {
    const char alphabet[] = {'\\', '\\', '\\', 'r', 'n', 't', 'x'};
    unsigned state = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::string value;
        int length = round % 24;
        for (int i = 0; i < length; ++i) {
            state = state * 1103515245u + 12345u;
            value += alphabet[(state >> 16) % sizeof alphabet];
        }
        ASSERT_EQ(unescapeIniValue(value), unescapeByRescanning(value)) << value;
    }
}

} // namespace
