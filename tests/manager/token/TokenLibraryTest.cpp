#include "TokenLibrary.h"
#include "FakeP11Control.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
__attribute__((visibility("default"))) FakeP11Control fakeP11Control;
}

namespace {

// True while the module at path is mapped; takes no lasting reference.
bool isLoaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    dlclose(handle);
    return true;
}

class TokenLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { fakeP11Control = FakeP11Control{}; }
    void TearDown() override {
        library.unload();
        for (const char* path :
             {FAKE_P11_GOOD, FAKE_P11_NO_GET_FUNCTION_LIST, FAKE_P11_GET_FUNCTION_LIST_FAILS,
              FAKE_P11_ALREADY_INITIALIZED, FAKE_P11_NO_AUX, FAKE_P11_AUX_FAILS})
            EXPECT_FALSE(isLoaded(path)) << path << " left loaded";
    }

    void expectUnbound() {
        EXPECT_EQ(library.functions(), nullptr);
        EXPECT_EQ(library.auxFunctions(), nullptr);
    }

    TokenLibrary library;
    FakeP11Control& calls = fakeP11Control;
};

TEST_F(TokenLibraryTest, LoadBindsBothTablesAndInitializesWithoutArguments) {
    ASSERT_TRUE(library.load(FAKE_P11_GOOD));
    EXPECT_NE(library.functions(), nullptr);
    EXPECT_NE(library.auxFunctions(), nullptr);
    EXPECT_TRUE(isLoaded(FAKE_P11_GOOD));
    EXPECT_EQ(calls.initializeCalls, 1u);
    EXPECT_EQ(calls.initializeCallsWithArgs, 0u);
    EXPECT_EQ(calls.finalizeCalls, 0u);
}

TEST_F(TokenLibraryTest, UnloadFinalizesOnceFreesTheModuleAndForgetsTheTables) {
    ASSERT_TRUE(library.load(FAKE_P11_GOOD));

    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 1u);
    EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));
    expectUnbound();

    // The tables belonged to the freed module: a second unload must not reach them.
    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 1u);
}

TEST_F(TokenLibraryTest, UnloadOfANeverLoadedInstanceCallsNothing) {
    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 0u);
    EXPECT_EQ(calls.initializeCalls, 0u);
    expectUnbound();
}

TEST_F(TokenLibraryTest, MissingOrUnloadableLibraryFails) {
    EXPECT_FALSE(library.load("/nonexistent/libfake_p11_missing.so"));
    expectUnbound();

    std::string notALibrary = ::testing::TempDir() + "libfake_p11_text.so";
    std::FILE* file = std::fopen(notALibrary.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not an ELF object\n", file);
    std::fclose(file);
    EXPECT_FALSE(library.load(notALibrary.c_str()));
    expectUnbound();
    std::remove(notALibrary.c_str());

    EXPECT_EQ(calls.initializeCalls, 0u);
}

TEST_F(TokenLibraryTest, MissingGetFunctionListFreesTheModule) {
    EXPECT_FALSE(library.load(FAKE_P11_NO_GET_FUNCTION_LIST));
    EXPECT_FALSE(isLoaded(FAKE_P11_NO_GET_FUNCTION_LIST));
    expectUnbound();
    EXPECT_EQ(calls.initializeCalls, 0u);
}

TEST_F(TokenLibraryTest, FailingGetFunctionListFreesTheModuleAndDropsWhatItWrote) {
    // This fake stores its table before answering an error.
    EXPECT_FALSE(library.load(FAKE_P11_GET_FUNCTION_LIST_FAILS));
    EXPECT_EQ(calls.getFunctionListCalls, 1u);
    EXPECT_FALSE(isLoaded(FAKE_P11_GET_FUNCTION_LIST_FAILS));
    expectUnbound();
    EXPECT_EQ(calls.initializeCalls, 0u);
    EXPECT_EQ(calls.finalizeCalls, 0u);
}

TEST_F(TokenLibraryTest, UnusableFunctionTableIsRefusedBeforeAnyCall) {
    calls.nullFunctionList = 1;
    EXPECT_FALSE(library.load(FAKE_P11_GOOD));
    EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));
    expectUnbound();

    calls.nullFunctionList = 0;
    calls.tableWithoutInitialize = 1;
    EXPECT_FALSE(library.load(FAKE_P11_GOOD));
    EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));
    expectUnbound();
    EXPECT_EQ(calls.finalizeCalls, 0u);
}

TEST_F(TokenLibraryTest, AlreadyInitializedLibraryIsFreedWithoutFinalize) {
    EXPECT_FALSE(library.load(FAKE_P11_ALREADY_INITIALIZED));
    EXPECT_EQ(calls.initializeCalls, 1u);
    EXPECT_EQ(calls.finalizeCalls, 0u);
    EXPECT_FALSE(isLoaded(FAKE_P11_ALREADY_INITIALIZED));
    expectUnbound();

    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 0u);
}

TEST_F(TokenLibraryTest, AnyInitializeFailureFreesTheLibrary) {
    for (CK_RV code : {CKR_GENERAL_ERROR, CKR_CANT_LOCK, CKR_FUNCTION_FAILED}) {
        SCOPED_TRACE(code);
        calls.overrideInitialize = 1;
        calls.initializeResult = code;
        EXPECT_FALSE(library.load(FAKE_P11_GOOD));
        EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));
        expectUnbound();
    }
    EXPECT_EQ(calls.finalizeCalls, 0u);
}

TEST_F(TokenLibraryTest, MissingAuxListKeepsTheLibraryLoadedAndInitialized) {
    EXPECT_FALSE(library.load(FAKE_P11_NO_AUX));
    EXPECT_TRUE(isLoaded(FAKE_P11_NO_AUX));
    EXPECT_NE(library.functions(), nullptr);
    EXPECT_EQ(library.auxFunctions(), nullptr);
    EXPECT_EQ(calls.initializeCalls, 1u);
    EXPECT_EQ(calls.finalizeCalls, 0u);

    // The initialized library is finalized at exit like a fully bound one.
    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 1u);
    EXPECT_FALSE(isLoaded(FAKE_P11_NO_AUX));
}

TEST_F(TokenLibraryTest, FailingAuxListKeepsTheLibraryButHandsOutNoAuxTable) {
    // This fake stores its table before answering an error.
    EXPECT_FALSE(library.load(FAKE_P11_AUX_FAILS));
    EXPECT_EQ(calls.getAuxFunctionListCalls, 1u);
    EXPECT_TRUE(isLoaded(FAKE_P11_AUX_FAILS));
    EXPECT_NE(library.functions(), nullptr);
    EXPECT_EQ(library.auxFunctions(), nullptr);
    EXPECT_EQ(calls.finalizeCalls, 0u);

    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 1u);
}

TEST_F(TokenLibraryTest, NullAuxListAnsweredAsSuccessIsAFailure) {
    calls.nullAuxFunctionList = 1;
    EXPECT_FALSE(library.load(FAKE_P11_GOOD));
    EXPECT_TRUE(isLoaded(FAKE_P11_GOOD));
    EXPECT_NE(library.functions(), nullptr);
    EXPECT_EQ(library.auxFunctions(), nullptr);
}

TEST_F(TokenLibraryTest, SecondLoadReusesModuleAndTableAndInitializesAgain) {
    ASSERT_TRUE(library.load(FAKE_P11_GOOD));
    CK_FUNCTION_LIST* first = library.functions();
    VendorAuxFunctionList* firstAux = library.auxFunctions();

    ASSERT_TRUE(library.load(FAKE_P11_GOOD));
    EXPECT_EQ(library.functions(), first);
    EXPECT_EQ(library.auxFunctions(), firstAux);
    EXPECT_EQ(calls.getFunctionListCalls, 1u);
    EXPECT_EQ(calls.initializeCalls, 2u);

    // One module reference only: a single unload really frees it.
    library.unload();
    EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));
}

TEST_F(TokenLibraryTest, SecondLoadKeepsTheHeldModuleWhateverNameItIsGiven) {
    EXPECT_FALSE(library.load(FAKE_P11_NO_AUX));
    CK_FUNCTION_LIST* held = library.functions();

    EXPECT_FALSE(library.load(FAKE_P11_GOOD));
    EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));
    EXPECT_EQ(library.functions(), held);
    EXPECT_EQ(calls.initializeCalls, 2u);
}

TEST_F(TokenLibraryTest, AuxTableIsHiddenOnceTheFunctionTableIsCleared) {
    ASSERT_TRUE(library.load(FAKE_P11_GOOD));
    ASSERT_NE(library.auxFunctions(), nullptr);

    // A later initialization refusal clears the function table.
    calls.overrideInitialize = 1;
    calls.initializeResult = CKR_CRYPTOKI_ALREADY_INITIALIZED;
    EXPECT_FALSE(library.load(FAKE_P11_GOOD));
    expectUnbound();
    EXPECT_FALSE(isLoaded(FAKE_P11_GOOD));

    EXPECT_TRUE(library.unload());
    EXPECT_EQ(calls.finalizeCalls, 0u);
}

// A library the user names instead of the product's one: the vendor table
// becomes optional, and only load() looks at the variable or the override.
class NamedModuleTest : public TokenLibraryTest {
protected:
    void TearDown() override {
        unsetenv("KORVAN_TOKEN_LIBRARY");
        TokenLibraryTest::TearDown();
    }
};

TEST_F(NamedModuleTest, VariableNamesALibraryThatNeedsNoVendorTable) {
    for (const char* path : {FAKE_P11_NO_AUX, FAKE_P11_AUX_FAILS}) {
        SCOPED_TRACE(path);
        setenv("KORVAN_TOKEN_LIBRARY", path, 1);
        ASSERT_TRUE(library.load());
        EXPECT_TRUE(isLoaded(path));
        EXPECT_NE(library.functions(), nullptr);
        EXPECT_EQ(library.auxFunctions(), nullptr);
        EXPECT_TRUE(library.anyModule());
        library.unload();
        EXPECT_FALSE(library.anyModule());
    }
    // Explicit names keep needing the table whatever the variable says.
    EXPECT_FALSE(library.load(FAKE_P11_NO_AUX));
    EXPECT_FALSE(library.anyModule());
}

TEST_F(NamedModuleTest, NamedLibraryWithTheTableBindsBoth) {
    setenv("KORVAN_TOKEN_LIBRARY", FAKE_P11_GOOD, 1);
    ASSERT_TRUE(library.load());
    EXPECT_NE(library.auxFunctions(), nullptr);
}

TEST_F(NamedModuleTest, OverrideWinsOverTheVariableAndFailuresStillFail) {
    setenv("KORVAN_TOKEN_LIBRARY", "/nonexistent/libnothing.so", 1);
    EXPECT_FALSE(library.load());
    expectUnbound();

    library.setModuleOverride(FAKE_P11_NO_AUX);
    ASSERT_TRUE(library.load());
    EXPECT_TRUE(isLoaded(FAKE_P11_NO_AUX));
    library.unload();

    // A named library that cannot be initialized is refused as before.
    library.setModuleOverride(FAKE_P11_ALREADY_INITIALIZED);
    EXPECT_FALSE(library.load());
    expectUnbound();
    EXPECT_FALSE(isLoaded(FAKE_P11_ALREADY_INITIALIZED));
}

TEST(TokenLibraryModuleWords, ProductWordsMapToTheirRecordNamesOthersStayAsGiven) {
    EXPECT_EQ(TokenLibrary::libraryForModuleWord("meridia"), "meridiaCsp11_2001.dll");
    EXPECT_EQ(TokenLibrary::libraryForModuleWord("skyra"), "qx11skyra.dll");
    EXPECT_EQ(TokenLibrary::libraryForModuleWord("/usr/lib/x/libp11.so"), "/usr/lib/x/libp11.so");
    EXPECT_EQ(TokenLibrary::libraryForModuleWord("Meridia"), "Meridia");
}

TEST(TokenLibraryInstance, IsOneUnboundObject) {
    TokenLibrary& library = TokenLibrary::instance();
    EXPECT_EQ(&library, &TokenLibrary::instance());
    EXPECT_EQ(library.functions(), nullptr);
    EXPECT_EQ(library.auxFunctions(), nullptr);
}

} // namespace
