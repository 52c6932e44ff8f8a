#pragma once

// Shared by the Qt-side language tests: one QApplication for the program and
// translators that read a language file from a fresh temporary folder.

#include "Translator.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <unistd.h>

class LangUiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "lang_ui_tests";
            static char* argv[] = {name, nullptr};
            static QApplication app(argc, argv);
        }
    }

    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("korvan-lang-ui-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A translator that has loaded the given "strings" entries.
    std::unique_ptr<Translator> translatorWith(const std::string& strings) {
        std::filesystem::path file = dir_ / "test_936.lng";
        std::ofstream(file) << "[settings]\nCodePage=936\nLanguage=Test\n[strings]\n" << strings;
        auto t = noFileTranslator();
        EXPECT_TRUE(t->loadFile(file.string()));
        return t;
    }

    // A translator whose language file does not exist: built-in texts only.
    std::unique_ptr<Translator> noFileTranslator() {
        std::string program = (dir_ / "KorvanNgMgr").string();
        auto t = std::make_unique<Translator>(
            Translator::Environment{[program] { return program; }, [] { return 1033u; }});
        t->setStem("absent");
        return t;
    }

    std::filesystem::path dir_;
};
