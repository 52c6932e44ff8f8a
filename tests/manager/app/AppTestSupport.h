#pragma once

// A fresh folder per test that stands in for the registry store, the runtime
// folder and the program folder (with its lang/ subfolder).

#include "Translator.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

class AppTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "app_tests";
            static char* argv[] = {name, nullptr};
            // Never destroyed: at exit Qt's input devices are already gone,
            // and an application destroyed after them crashes.
            new QApplication(argc, argv);
        }
    }

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString();
        std::filesystem::create_directories(root_ + "/registry");
        std::filesystem::create_directories(root_ + "/run");
        std::filesystem::create_directories(root_ + "/program/lang");
        setenv("KORVAN_REGISTRY_DIR", (root_ + "/registry").c_str(), 1);
        setenv("KORVAN_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KORVAN_REGISTRY_DIR");
        unsetenv("KORVAN_RUNTIME_DIR");
    }

    // A language file of the manager for one language id.
    void writeLanguageFile(const std::string& stemFile, unsigned languageId,
                           const std::string& strings) {
        std::ofstream(root_ + "/program/lang/" + stemFile + "_" + std::to_string(languageId) +
                      ".lng")
            << "[settings]\nCodePage=" << languageId << "\nLanguage=L" << languageId
            << "\n[strings]\n"
            << strings;
    }

    // A translator that takes the test's program folder for the program's and
    // English for the user's default language.
    std::unique_ptr<Translator> makeTranslator() {
        std::string program = root_ + "/program/KorvanNgMgr";
        return std::make_unique<Translator>(
            Translator::Environment{[program] { return program; }, [] { return 1033u; }});
    }

    QTemporaryDir dir_;
    std::string root_;
};
