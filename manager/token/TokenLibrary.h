#pragma once

#include "platform/ModuleLoader.h"

#include <korvan/vendor_aux.h>

#include <string>

// The one binding of the token's PKCS#11 library. Every PKCS#11 call of the
// manager goes through functions(), every vendor extension call through
// auxFunctions().
//
// load() and unload() run on the user-interface thread only, before the slot
// monitor starts and after it stops; in between the fields are only read, so
// nothing guards them.
class TokenLibrary {
public:
    static TokenLibrary& instance();

    // Separate instances exist for tests; the program uses instance().
    TokenLibrary() = default;
    // Releases nothing: finalizing a library from a static destructor at exit
    // races its own teardown. The exit path calls unload() explicitly.
    ~TokenLibrary() = default;
    TokenLibrary(const TokenLibrary&) = delete;
    TokenLibrary& operator=(const TokenLibrary&) = delete;

    // Binds and initializes the product's library, or the one a user named
    // (moduleOverride(), else KORVAN_TOKEN_LIBRARY). False on any failure; a
    // library the user named may lack the vendor table, see anyModule().
    bool load();
    // Same, for a library given by name or path; the vendor table is needed.
    bool load(const char* libraryName);
    // A library named by the user: without the vendor table it still binds,
    // and auxFunctions() stays null.
    bool loadAnyModule(const char* libraryName);

    // The library to load instead of the product's one ("meridia", "skyra"
    // or a name or path, as libraryForModuleWord() reads them); an empty
    // text falls back to KORVAN_TOKEN_LIBRARY. Only load() reads either.
    void setModuleOverride(std::string word) { moduleOverride_ = std::move(word); }
    // What "meridia" and "skyra" stand for; any other word is the library itself.
    static std::string libraryForModuleWord(const std::string& word);
    // Whether the bound library was named by the user rather than the product.
    bool anyModule() const { return anyModule_; }
    // Finalizes and releases the library; always true.
    bool unload();

    // Binds tables that live in this process instead of a loaded module (test
    // doubles). Nothing is initialized here; unload() still finalizes.
    void bindTables(CK_FUNCTION_LIST* functions, VendorAuxFunctionList* auxFunctions,
                    bool anyModule = false) {
        functions_ = functions;
        auxFunctions_ = auxFunctions;
        anyModule_ = anyModule;
    }

    CK_FUNCTION_LIST* functions() const { return functions_; }
    // Null whenever functions() is null, even if a table was obtained before.
    VendorAuxFunctionList* auxFunctions() const {
        return functions_ != nullptr ? auxFunctions_ : nullptr;
    }

private:
    bool bind(const char* libraryName, bool auxRequired);
    void releaseModule();

    std::string moduleOverride_;
    bool anyModule_ = false;

    platform::ModuleHandle module_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    VendorAuxFunctionList* auxFunctions_ = nullptr;
};
