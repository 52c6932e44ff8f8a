#pragma once

#include "platform/ModuleLoader.h"

#include <korvan/vendor_aux.h>

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

    // Binds and initializes the product's library. False on any failure.
    bool load();
    // Same, for a library given by name or path.
    bool load(const char* libraryName);
    // Finalizes and releases the library; always true.
    bool unload();

    // Binds tables that live in this process instead of a loaded module (test
    // doubles). Nothing is initialized here; unload() still finalizes.
    void bindTables(CK_FUNCTION_LIST* functions, VendorAuxFunctionList* auxFunctions) {
        functions_ = functions;
        auxFunctions_ = auxFunctions;
    }

    CK_FUNCTION_LIST* functions() const { return functions_; }
    // Null whenever functions() is null, even if a table was obtained before.
    VendorAuxFunctionList* auxFunctions() const {
        return functions_ != nullptr ? auxFunctions_ : nullptr;
    }

private:
    void releaseModule();

    platform::ModuleHandle module_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    VendorAuxFunctionList* auxFunctions_ = nullptr;
};
