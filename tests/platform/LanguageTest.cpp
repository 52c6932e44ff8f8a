#include "platform/Language.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

namespace {

TEST(LangId, KnownLocales) {
    struct Case {
        const char* locale;
        uint16_t langId;
    };
    const Case cases[] = {
        {"zh_CN", 2052}, {"zh_TW", 1028}, {"zh_HK", 3076}, {"zh_SG", 4100}, {"en_US", 1033},
        {"en_GB", 2057}, {"ja_JP", 1041}, {"ko_KR", 1042}, {"de_DE", 1031}, {"fr_FR", 1036},
        {"ru_RU", 1049}, {"es_ES", 3082}, {"pt_BR", 1046}, {"pt_PT", 2070},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::langIdForLocaleName(c.locale), c.langId) << c.locale;
}

TEST(LangId, CodesetModifierAndSpelling) {
    EXPECT_EQ(platform::langIdForLocaleName("zh_CN.UTF-8"), 2052);
    EXPECT_EQ(platform::langIdForLocaleName("zh_TW.Big5@stroke"), 1028);
    EXPECT_EQ(platform::langIdForLocaleName("de_DE@euro"), 1031);
    EXPECT_EQ(platform::langIdForLocaleName("en_gb.utf8"), 2057);
    EXPECT_EQ(platform::langIdForLocaleName("en-GB"), 2057);
}

TEST(LangId, LanguageWithoutKnownTerritoryUsesItsMainId) {
    EXPECT_EQ(platform::langIdForLocaleName("zh"), 2052);
    EXPECT_EQ(platform::langIdForLocaleName("zh_XX"), 2052);
    EXPECT_EQ(platform::langIdForLocaleName("en"), 1033);
    EXPECT_EQ(platform::langIdForLocaleName("en_JM.UTF-8"), 1033);
    EXPECT_EQ(platform::langIdForLocaleName("fr_LU"), 1036);
    EXPECT_EQ(platform::langIdForLocaleName("es"), 3082);
}

TEST(LangId, UnknownAndNeutralLocalesAreUsEnglish) {
    for (const char* name : {"C", "POSIX", "C.UTF-8", "", "xx_YY", "_CN", "klingon"})
        EXPECT_EQ(platform::langIdForLocaleName(name), 1033) << '"' << name << '"';
}

// Sets or clears an environment variable for one test and puts it back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(LangId, UserDefaultFollowsPosixOrder) {
    {
        ScopedEnv all("LC_ALL", "ja_JP.UTF-8");
        ScopedEnv messages("LC_MESSAGES", "de_DE.UTF-8");
        ScopedEnv lang("LANG", "fr_FR.UTF-8");
        EXPECT_EQ(platform::userDefaultLangId(), 1041);
    }
    {
        ScopedEnv all("LC_ALL", "");
        ScopedEnv messages("LC_MESSAGES", "de_DE.UTF-8");
        ScopedEnv lang("LANG", "fr_FR.UTF-8");
        EXPECT_EQ(platform::userDefaultLangId(), 1031);
    }
    {
        ScopedEnv all("LC_ALL", nullptr);
        ScopedEnv messages("LC_MESSAGES", nullptr);
        ScopedEnv lang("LANG", "zh_HK.UTF-8");
        EXPECT_EQ(platform::userDefaultLangId(), 3076);
    }
    {
        ScopedEnv all("LC_ALL", nullptr);
        ScopedEnv messages("LC_MESSAGES", nullptr);
        ScopedEnv lang("LANG", nullptr);
        EXPECT_EQ(platform::userDefaultLangId(), 1033);
    }
}

// Under a Turkish locale the C library's tolower leaves 'I' as it is, so a spelling with an I
// or an i must still name its language.
TEST(LangId, SpellingIsFoldedTheSameUnderATurkishLocale) {
    char folder[] = "/tmp/langid-locale-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string command = std::string("localedef -i tr_TR -f UTF-8 ") + folder + "/tr_TR.UTF-8 >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "localedef could not build tr_TR.UTF-8";
    ::setenv("LOCPATH", folder, 1);
    ASSERT_NE(std::setlocale(LC_ALL, "tr_TR.UTF-8"), nullptr);
    ASSERT_NE(std::tolower('I'), 'i'); // the locale still behaves as the fault needs
    const uint16_t finnish = platform::langIdForLocaleName("FI_fi");
    const uint16_t swissItalian = platform::langIdForLocaleName("IT_ch");
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    std::filesystem::remove_all(folder);
    EXPECT_EQ(finnish, 1035);
    EXPECT_EQ(swissItalian, 2064);
}

} // namespace
