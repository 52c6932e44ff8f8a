#include "platform/ModuleLoader.h"
#include "platform/ProgramPath.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

namespace {

TEST(ModuleFileName, MapsWindowsNamesToSharedObjects) {
    struct Case {
        const char* given;
        const char* expected;
    };
    const Case cases[] = {
        {"meridiaCsp11_2001.dll", "libmeridiaCsp11_2001.so"},
        {"QX11SKYRA.DLL", "libQX11SKYRA.so"},
        {"mixed.Dll", "libmixed.so"},
        {"foo", "libfoo.so"},
        {"foo.dll.bak", "libfoo.dll.bak.so"},
        {"libsofthsm2.so", "libsofthsm2.so"},
        {"libp11-kit.so.0", "libp11-kit.so.0"},
        {"libfoo.so.1.2", "libfoo.so.1.2"},
        {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/softhsm/libsofthsm2.so"},
        {"./local.dll", "./local.dll"},
        {"", ""},
        {".dll", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::moduleFileNameFor(c.given), c.expected) << "for " << c.given;
}

TEST(ModuleFileName, SoInsideTheNameIsNotASuffix) {
    EXPECT_EQ(platform::moduleFileNameFor("libso.dll"), "liblibso.so");
    EXPECT_EQ(platform::moduleFileNameFor("foo.so.x"), "libfoo.so.x.so");
    EXPECT_EQ(platform::moduleFileNameFor("foo.so."), "libfoo.so..so");
}

TEST(ProgramPath, NamesThisTestProgram) {
    const std::string path = platform::programPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(access(path.c_str(), X_OK), 0);
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "platform_tests");
    EXPECT_EQ(platform::programDir(), path.substr(0, path.rfind('/')));
}

TEST(ModuleLoader, LoadsModuleBesideProgramByWindowsName) {
    // The system loader would not find it: bin/ is not on the library path.
    platform::ModuleHandle module = platform::loadModule("platformtestmodule.dll");
    ASSERT_NE(module, nullptr);
    auto answer = reinterpret_cast<int (*)()>(platform::moduleSymbol(module, "platformTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(platform::moduleSymbol(module, "noSuchSymbol"), nullptr);
    EXPECT_EQ(platform::moduleSymbol(module, nullptr), nullptr);
    EXPECT_TRUE(platform::freeModule(module));
}

TEST(ModuleLoader, ModulePtrFreesOnScopeExit) {
    void* symbol = nullptr;
    {
        platform::ModulePtr module(platform::loadModule("platformtestmodule.dll"));
        ASSERT_TRUE(module);
        symbol = platform::moduleSymbol(module.get(), "platformTestAnswer");
        ASSERT_NE(symbol, nullptr);
    }
    // Unloaded: the system loader no longer has it, so RTLD_NOLOAD finds nothing.
    const std::string path = platform::programDir() + "/libplatformtestmodule.so";
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST(ModuleLoader, LoadsByFullPathAndFromSystemPath) {
    const std::string path = platform::programDir() + "/libplatformtestmodule.so";
    platform::ModuleHandle module = platform::loadModule(path.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(platform::freeModule(module));

    // A system library by its bare file name, found by the system loader.
    platform::ModuleHandle libc = platform::loadModule("libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(platform::moduleSymbol(libc, "strlen"), nullptr);
    EXPECT_TRUE(platform::freeModule(libc));
}

TEST(ModuleLoader, FailuresGiveNullOrFalse) {
    EXPECT_EQ(platform::loadModule("noSuchModule_korvan.dll"), nullptr);
    EXPECT_EQ(platform::loadModule("/nonexistent/libx.so"), nullptr);
    EXPECT_EQ(platform::loadModule(""), nullptr);
    EXPECT_EQ(platform::loadModule(nullptr), nullptr);
    EXPECT_EQ(platform::moduleSymbol(nullptr, "strlen"), nullptr);
    EXPECT_FALSE(platform::freeModule(nullptr));
}

TEST(ModuleLoader, FileThatIsNotALibraryIsRefused) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("libgarbage.so");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is not an ELF file");
    file.close();
    EXPECT_EQ(platform::loadModule(path.toStdString().c_str()), nullptr);
}

} // namespace
