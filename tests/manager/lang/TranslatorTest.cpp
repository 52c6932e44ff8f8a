#include "Translator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TranslatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("korvan-lang-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "lang");
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeFile(std::uint32_t id, const std::string& text) {
        std::ofstream(dir / "lang" / ("vtmgr_meridia_" + std::to_string(id) + ".lng")) << text;
    }

    std::unique_ptr<Translator> makeTranslator(std::uint32_t userLangId = 1033) {
        std::string program = (dir / "KorvanNgMgr").string();
        auto t = std::make_unique<Translator>(Translator::Environment{
            [program] { return program; }, [userLangId] { return userLangId; }});
        t->setStem("lang\\vtmgr_meridia");
        return t;
    }

    fs::path dir;
};

const char* kChinese = "[settings]\nCodePage=936\nLanguage=Chinese\n[strings]\n805=PIN码错误\n";

TEST_F(TranslatorTest, PathJoinsProgramFolderStemAndId) {
    auto tp = makeTranslator();
    Translator& t = *tp;
    t.initialize();
    EXPECT_EQ(t.languageFilePath("lang\\vtmgr_meridia", 2052),
              (dir / "lang" / "vtmgr_meridia_2052.lng").string());
}

TEST_F(TranslatorTest, RegistryIdWinsOverUserLanguage) {
    writeFile(2052, kChinese);
    auto tp = makeTranslator(1033);
    Translator& t = *tp;
    t.setLanguageId(2052);
    EXPECT_EQ(t.translate(805, "Wrong PIN"), "PIN码错误");
    EXPECT_TRUE(t.fileLoaded());
    EXPECT_EQ(t.languageId(), 936u) << "the CodePage value replaces the id";
    EXPECT_EQ(t.translate(999, "fallback"), "fallback");
}

TEST_F(TranslatorTest, UnsetIdTakesUserDefault) {
    writeFile(2052, kChinese);
    auto tp = makeTranslator(2052);
    Translator& t = *tp;
    EXPECT_EQ(t.translate(805, "Wrong PIN"), "PIN码错误");
}

TEST_F(TranslatorTest, MissingFileGivesDefaultsWithoutRetry) {
    auto tp = makeTranslator(2052);
    Translator& t = *tp;
    EXPECT_EQ(t.translate(805, "Wrong PIN"), "Wrong PIN");
    EXPECT_TRUE(t.loadAttempted());
    writeFile(2052, kChinese);
    EXPECT_EQ(t.translate(805, "Wrong PIN"), "Wrong PIN") << "no second load in one run";
}

TEST_F(TranslatorTest, SettingsRules) {
    struct Case {
        const char* text;
        bool accepted;
    } cases[] = {
        {"[settings]\nLanguage=x\n[strings]\n", false},
        {"[settings]\nCodePage=-1\nLanguage=x\n[strings]\n", false},
        {"[settings]\nCodePage=936\n[strings]\n", false},
        {"[settings]\nCodePage=936\nLanguage=\n", false},
        {"[strings]\n1=x\n", false},
        {"[settings]\nCodePage=936\nLanguage=\n[strings]\n", true},
    };
    for (const auto& c : cases) {
        writeFile(2052, c.text);
        auto tp = makeTranslator(2052);
        Translator& t = *tp;
        t.initialize();
        EXPECT_EQ(t.fileLoaded(), c.accepted) << c.text;
        EXPECT_EQ(t.usesDefaults(), !c.accepted) << c.text;
        if (!c.accepted) {
            EXPECT_EQ(t.languageId(), 1033u);
            EXPECT_EQ(t.languageName(), "English");
        }
    }
}

TEST_F(TranslatorTest, FontDefaults) {
    writeFile(1033, "[settings]\nCodePage=1252\nLanguage=English\nFontHeight=-1\n[strings]\n");
    auto tp = makeTranslator(1033);
    Translator& t = *tp;
    ASSERT_TRUE(t.initialize());
    EXPECT_EQ(t.fontHeight(), 8u);
    EXPECT_EQ(t.fontFace(), "Tahoma");

    writeFile(1033, "[settings]\nCodePage=1252\nLanguage=English\nFontHeight=12\n"
                    "FontFace=Noto Sans\n[strings]\n");
    auto up = makeTranslator(1033);
    Translator& u = *up;
    ASSERT_TRUE(u.initialize());
    EXPECT_EQ(u.fontHeight(), 12u);
    EXPECT_EQ(u.fontFace(), "Noto Sans");
}

TEST_F(TranslatorTest, KeysAreDecimalWithoutLeadingZeros) {
    writeFile(1033, "[settings]\nCodePage=1252\nLanguage=English\n[strings]\n0805=zero\n-5=neg\n");
    auto tp = makeTranslator(1033);
    Translator& t = *tp;
    EXPECT_EQ(t.translate(805, "default"), "default");
    EXPECT_EQ(t.translate(-5, "default"), "neg");
}

TEST_F(TranslatorTest, BrokenFileLeavesBuiltInTexts) {
    writeFile(1033, "[settings]\nCodePage=1252\nLanguage=English\n[strings]\n1=a\n1=b\n");
    auto tp = makeTranslator(1033);
    Translator& t = *tp;
    EXPECT_EQ(t.translate(1, "built-in"), "built-in");
}

TEST_F(TranslatorTest, ValueEqualToMarkerCountsAsAbsent) {
    writeFile(1033, std::string("[settings]\nCodePage=1252\nLanguage=English\n[strings]\n7=") +
                        NoValueMarker + "\n");
    auto tp = makeTranslator(1033);
    Translator& t = *tp;
    EXPECT_EQ(t.translate(7, "built-in"), "built-in");
}

} // namespace
