#include "TokenLibrary.h"

#include "ProductConfig.h"

TokenLibrary& TokenLibrary::instance() {
    static TokenLibrary library;
    return library;
}

bool TokenLibrary::load() {
    return load(productConfig.pkcs11LibraryName);
}

bool TokenLibrary::load(const char* libraryName) {
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
    // extension table is missing; unload() finalizes it.
    auxFunctions_ = nullptr;
    auto getAuxFunctionList = reinterpret_cast<E_GetAuxFunctionList_t>(
        platform::moduleSymbol(module_, "E_GetAuxFunctionList"));
    if (getAuxFunctionList == nullptr)
        return false;
    VendorAuxFunctionList* auxList = nullptr;
    if (getAuxFunctionList(&auxList) != CKR_OK || auxList == nullptr)
        return false;
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
    return true;
}

void TokenLibrary::releaseModule() {
    platform::freeModule(module_);
    module_ = nullptr;
    functions_ = nullptr;
    auxFunctions_ = nullptr;
}
