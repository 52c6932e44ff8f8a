#include "SourceIdScan.h"
#include "Translator.h"

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const fs::path kSourceDir = KORVAN_SOURCE_DIR;
const fs::path kOutputDir = KORVAN_OUTPUT_DIR;
constexpr const char* kStem = "lang\\vtmgr_meridia";

struct Language {
    std::uint32_t id;
    long codePage;
    const char* name;
};
const Language kLanguages[] = {{1033, 1252, "English"}, {2052, 936, "简体中文"}};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

fs::path sourceFile(std::uint32_t id) {
    return kSourceDir / "lang" / ("vtmgr_meridia_" + std::to_string(id) + ".lng");
}

// The raw entries of [strings], values still escaped, read without the parser
// under test so a key the parser drops still shows up.
std::map<std::string, std::string> rawStrings(std::uint32_t id) {
    std::map<std::string, std::string> entries;
    std::istringstream in(readFile(sourceFile(id)));
    std::string line;
    bool inStrings = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            inStrings = line.rfind("[strings]", 0) == 0;
            continue;
        }
        std::size_t eq = line.find('=');
        if (inStrings && eq != std::string::npos)
            entries[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return entries;
}

// "%d to %d" -> "dd": what a formatting call would consume.
std::string formatPlaceholders(const std::string& text) {
    std::string placeholders;
    for (std::size_t i = text.find('%'); i != std::string::npos; i = text.find('%', i + 2))
        if (i + 1 < text.size())
            placeholders += text[i + 1];
    return placeholders;
}

std::unique_ptr<Translator> loadInstalled(std::uint32_t languageId) {
    auto translator = std::make_unique<Translator>(Translator::Environment{
        [] { return (kOutputDir / "KorvanNgMgr").string(); }, [] { return 1033u; }});
    translator->setStem(kStem);
    translator->setLanguageId(languageId);
    translator->initialize();
    return translator;
}

const SourceIds& scanned() {
    static const SourceIds ids = scanSources(kSourceDir / "manager");
    return ids;
}

} // namespace

TEST(SourceIdScan, FindsTheIdsOfEveryKindOfLookup) {
    const SourceIds& ids = scanned();
    EXPECT_TRUE(ids.unresolved.empty()) << ::testing::PrintToString(ids.unresolved);
    EXPECT_GE(ids.ids.size(), 60u);
    EXPECT_GE(ids.menuCommandCount, 16);
    EXPECT_GE(ids.dialogCount, 3);
    // One of each: literal, named constant, message, tool text, menu titles,
    // main and context menu commands, dialog title, .ui button and label.
    for (int id :
         {10100, 10107, 10000, 50001, 10400, 128, 32771, 57664, 32806, 100, 300, 1, 310, 303, 201})
        EXPECT_TRUE(ids.ids.count(id)) << "id " << id << " not found in the sources";
    // Controls left without an id in the About box (the version and copyright labels).
    EXPECT_GE(ids.controlsWithoutId.size(), 2u);
}

TEST(SourceIdScan, IgnoresCommentsButKeepsStrings) {
    EXPECT_EQ(stripComments("a(1); // translate(5, \"x\")\nb"), "a(1); \nb");
    EXPECT_EQ(stripComments("x /* translate(5,\n\"y\") */ z"), "x \n z");
    EXPECT_EQ(stripComments("s(\"//not a comment\", '\"');"), "s(\"//not a comment\", '\"');");
}

TEST(LanguageFiles, BothLoadBesideTheProgramWithTheirSettings) {
    for (const Language& language : kLanguages) {
        SCOPED_TRACE(language.id);
        std::unique_ptr<Translator> translator = loadInstalled(language.id);
        ASSERT_TRUE(translator->fileLoaded());
        EXPECT_FALSE(translator->usesDefaults());
        EXPECT_EQ(translator->languageId(), std::uint32_t(language.codePage));
        EXPECT_EQ(translator->languageName(), language.name);
        // The copy beside the program is the current one.
        EXPECT_EQ(readFile(kOutputDir / "lang" / sourceFile(language.id).filename()),
                  readFile(sourceFile(language.id)));
    }
}

TEST(LanguageFiles, EveryIdTheSourcesLookUpHasAnEntry) {
    for (const Language& language : kLanguages) {
        std::unique_ptr<Translator> translator = loadInstalled(language.id);
        ASSERT_TRUE(translator->fileLoaded()) << language.id;
        std::string missing;
        for (const auto& [id, places] : scanned().ids) {
            if (translator->translate(id, NoValueMarker) == NoValueMarker)
                missing += "\n  " + std::to_string(id) + " (" + *places.begin() + ")";
        }
        EXPECT_TRUE(missing.empty()) << "vtmgr_meridia_" << language.id << ".lng lacks:" << missing;
    }
}

TEST(LanguageFiles, HaveTheSameKeys) {
    std::map<std::string, std::string> english = rawStrings(1033);
    std::map<std::string, std::string> chinese = rawStrings(2052);
    ASSERT_GE(english.size(), 60u);
    std::string onlyEnglish, onlyChinese;
    for (const auto& [key, value] : english)
        if (!chinese.count(key))
            onlyEnglish += " " + key;
    for (const auto& [key, value] : chinese)
        if (!english.count(key))
            onlyChinese += " " + key;
    EXPECT_EQ(onlyEnglish, "") << "keys missing from the Chinese file";
    EXPECT_EQ(onlyChinese, "") << "keys missing from the English file";
}

TEST(LanguageFiles, ValuesAreCleanAndKeepTheShortcutTexts) {
    std::map<std::string, std::string> english = rawStrings(1033);
    std::map<std::string, std::string> chinese = rawStrings(2052);
    for (auto* entries : {&english, &chinese}) {
        for (const auto& [key, value] : *entries) {
            SCOPED_TRACE(key);
            // A blank around '=' would end up in the key's neighbour or the text.
            EXPECT_EQ(key.find_first_of(" \t"), std::string::npos);
            ASSERT_FALSE(value.empty());
            EXPECT_NE(value.front(), ' ');
            EXPECT_NE(value.back(), ' ');
            EXPECT_EQ(value.find('\x01'), std::string::npos);
            QString text = QString::fromUtf8(value.data(), qsizetype(value.size()));
            EXPECT_EQ(text.toUtf8().toStdString(), value) << "not UTF-8";
        }
    }
    for (const auto& [key, value] : chinese) {
        SCOPED_TRACE(key);
        // Left in English by mistake: every Chinese text with words has some
        // Chinese in it ("..." stays as it is).
        bool hasWords = std::any_of(value.begin(), value.end(), [](char c) {
            return std::isalpha(static_cast<unsigned char>(c));
        });
        if (hasWords) {
            EXPECT_TRUE(std::any_of(value.begin(), value.end(), [](char c) { return c & 0x80; }));
        }
        // Texts that are formatted with numbers take the same ones in the same order.
        EXPECT_EQ(formatPlaceholders(value), formatPlaceholders(english[key]));
        // Menu items keep the shortcut that their action really has.
        std::size_t tab = english[key].find("\\t");
        if (tab != std::string::npos)
            EXPECT_EQ(value.substr(value.find("\\t")), english[key].substr(tab));
        else
            EXPECT_EQ(value.find("\\t"), std::string::npos);
    }
}

TEST(LanguageFiles, MenuTitlesAndIdlessControlsAreLeftAlone) {
    for (const Language& language : kLanguages) {
        SCOPED_TRACE(language.id);
        std::unique_ptr<Translator> translator = loadInstalled(language.id);
        // One title per top-level menu: File, View, Operation, Help.
        std::string titles = translator->translate(128, "");
        EXPECT_EQ(std::count(titles.begin(), titles.end(), '\n'), 3) << titles;
        // An entry for 65535 would give every label without an id (the About
        // box's version and copyright lines) one and the same text.
        EXPECT_EQ(translator->translate(65535, NoValueMarker), NoValueMarker);
    }
}
