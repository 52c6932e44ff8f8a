#include "TokenLibrary.h"

#include "ProductConfig.h"

#include <cstdlib>

TokenLibrary& TokenLibrary::instance() {
    static TokenLibrary library;
    return library;
}

std::string TokenLibrary::libraryForModuleWord(const std::string& word) {
    // The product's own modules by the names their records give them, so the
    // loader finds them the same way as without the word.
    if (word == "meridia")
        return "meridiaCsp11_2001.dll";
    if (word == "skyra")
        return "qx11skyra.dll";
    return word;
}

bool TokenLibrary::load() {
    std::string word = moduleOverride_;
    if (word.empty()) {
        const char* variable = std::getenv("KORVAN_TOKEN_LIBRARY");
        if (variable != nullptr)
            word = variable;
    }
    if (word.empty())
        return load(productConfig.pkcs11LibraryName);
    return loadAnyModule(libraryForModuleWord(word).c_str());
}

bool TokenLibrary::load(const char* libraryName) {
    return bind(libraryName, true);
}

bool TokenLibrary::loadAnyModule(const char* libraryName) {
    return bind(libraryName, false);
}

bool TokenLibrary::bind(const char* libraryName, bool auxRequired) {
    anyModule_ = !auxRequired;
    if (module_ == nullptr) {
        module_ = platform::loadModule(libraryName);
        if (module_ == nullptr)
            return false;
    }

    if (functions_ == nullptr) {
        auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(
            platform::moduleSymbol(module_, "C_GetFunctionList"));
        if (getFunctionList == nullptr) {
            releaseModule();
            return false;
        }
        CK_FUNCTION_LIST* list = nullptr;
        // A table answered with CKR_OK but null would crash the first caller.
        if (getFunctionList(&list) != CKR_OK || list == nullptr) {
            releaseModule();
            return false;
        }
        functions_ = list;
    }

    // No CK_C_INITIALIZE_ARGS: the library picks its own locking. Any refusal,
    // CKR_CRYPTOKI_ALREADY_INITIALIZED included, means someone else owns the
    // library's state, so it is dropped without C_Finalize.
    if (functions_->C_Initialize == nullptr || functions_->C_Initialize(nullptr) != CKR_OK) {
        releaseModule();
        return false;
    }

    // From here on the library stays loaded and initialized even if the
    // extension table is missing; unload() finalizes it. Another maker's
    // module has no such table and works without it.
    auxFunctions_ = nullptr;
    auto getAuxFunctionList = reinterpret_cast<E_GetAuxFunctionList_t>(
        platform::moduleSymbol(module_, "E_GetAuxFunctionList"));
    if (getAuxFunctionList == nullptr)
        return !auxRequired;
    VendorAuxFunctionList* auxList = nullptr;
    if (getAuxFunctionList(&auxList) != CKR_OK || auxList == nullptr)
        return !auxRequired;
    auxFunctions_ = auxList;
    return true;
}

bool TokenLibrary::unload() {
    if (functions_ != nullptr && functions_->C_Finalize != nullptr)
        functions_->C_Finalize(nullptr);
    if (module_ != nullptr)
        platform::freeModule(module_);
    // The tables live inside the freed module; handing them out again would
    // send callers into unmapped code.
    module_ = nullptr;
    functions_ = nullptr;
    auxFunctions_ = nullptr;
    anyModule_ = false;
    return true;
}

void TokenLibrary::releaseModule() {
    platform::freeModule(module_);
    module_ = nullptr;
    functions_ = nullptr;
    auxFunctions_ = nullptr;
}
