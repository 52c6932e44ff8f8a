#include "providers/token/Token.h"

#include "providers/core/Error.h"
#include "providers/core/Registration.h"
#include "providers/token/Identity.h"
#include "providers/token/LibraryChoice.h"
#include "providers/token/PrivateInstance.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace providers::token {
namespace {

std::string trimmedField(const CK_UTF8CHAR* field, std::size_t size) {
    std::size_t length = size;
    while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\0'))
        --length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

} // namespace

std::string ownModulePath() {
    return providers::modulePathOf(reinterpret_cast<const void*>(&ownModulePath));
}

bool meansRemoved(CK_RV rv) {
    return rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
           rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED ||
           rv == CKR_SLOT_ID_INVALID || rv == CKR_TOKEN_NOT_RECOGNIZED;
}

TokenLink& TokenLink::instance() {
    static TokenLink* link = new TokenLink; // never destroyed: see functions()
    return *link;
}

namespace {

// The module the provider serves: its own copy of a product library unless another is configured.
void* loadTokenModule() {
    const std::string self = ownModulePath();
    const std::size_t slash = self.rfind('/');
    if (slash == std::string::npos)
        return nullptr;
    const std::string folder = self.substr(0, slash + 1);
    const std::string configured = configuredTokenLibrary(providerIdentity().providerName);
    const ProductLibrary* product = configured.empty() ? nullptr : productLibraryFor(configured);
    if (configured.empty() || product) {
        const char* privateModule = product ? product->privateModule : providerIdentity().privateModule;
        return dlopen((folder + privateModule).c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    std::string error;
    const std::string path = modulePathFor(configured);
    void* module = path.empty() ? nullptr : loadPrivateInstance(path, error);
    if (!module)
        std::fprintf(stderr, "%s: the token library %s cannot be used: %s\n",
                     providerIdentity().providerName, configured.c_str(),
                     path.empty() ? "not found" : error.c_str());
    return module;
}

} // namespace

CK_FUNCTION_LIST* TokenLink::functions() {
    if (functions_)
        return functions_;
    // Kept for the life of the process, never finalized: the login lasts for the process, and
    // at exit the token library's own teardown may already have run.
    void* module = loadTokenModule();
    if (!module)
        return nullptr;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    if (!getList || getList(&list) != CKR_OK || !list || !list->C_Initialize) {
        dlclose(module);
        return nullptr;
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = list->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        dlclose(module);
        return nullptr;
    }
    vendorAttributes_ = dlsym(module, "E_GetAuxFunctionList") != nullptr;
    functions_ = list;
    return functions_;
}

void TokenLink::drop() {
    if (functions_ && session_ != CK_INVALID_HANDLE)
        functions_->C_CloseSession(session_);
    session_ = CK_INVALID_HANDLE;
    generation_ = 0;
}

std::uint64_t TokenLink::attach() {
    CK_FUNCTION_LIST* f = functions();
    if (!f)
        providers::fail(NTE_PROVIDER_DLL_FAIL);
    if (generation_ != 0) {
        CK_SLOT_INFO slotInfo{};
        CK_SESSION_INFO sessionInfo{};
        if (f->C_GetSlotInfo(slot_, &slotInfo) == CKR_OK && (slotInfo.flags & CKF_TOKEN_PRESENT) &&
            f->C_GetSessionInfo(session_, &sessionInfo) == CKR_OK)
            return generation_;
        drop();
    }
    CK_ULONG count = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK)
        providers::fail(errorFor(rv));
    if (count == 0)
        providers::fail(SCARD_E_NO_SMARTCARD);
    // A bounded list: a library claiming more slots than any reader set has is refused.
    if (count > 1024)
        providers::fail(NTE_FAIL);
    std::vector<CK_SLOT_ID> slots(count);
    rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK)
        providers::fail(errorFor(rv));
    if (count == 0)
        providers::fail(SCARD_E_NO_SMARTCARD);
    // The first listed slot with a token; C_GetSlotList(CK_TRUE) lists only those.
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    rv = f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK)
        providers::fail(meansRemoved(rv) ? SCARD_E_NO_SMARTCARD : errorFor(rv));
    slot_ = slots[0];
    session_ = session;
    generation_ = ++lastGeneration_;
    return generation_;
}

CK_SESSION_HANDLE TokenLink::session(std::uint64_t generation) {
    if (generation == 0 || generation != generation_ || !functions_)
        providers::fail(SCARD_W_REMOVED_CARD);
    CK_SLOT_INFO slotInfo{};
    CK_SESSION_INFO sessionInfo{};
    if (functions_->C_GetSlotInfo(slot_, &slotInfo) != CKR_OK ||
        !(slotInfo.flags & CKF_TOKEN_PRESENT) ||
        functions_->C_GetSessionInfo(session_, &sessionInfo) != CKR_OK) {
        drop();
        providers::fail(SCARD_W_REMOVED_CARD);
    }
    return session_;
}

bool TokenLink::loggedIn(std::uint64_t generation) {
    CK_SESSION_HANDLE s = session(generation);
    CK_SESSION_INFO info{};
    const CK_RV rv = functions_->C_GetSessionInfo(s, &info);
    if (rv != CKR_OK)
        fail(rv);
    return info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS;
}

TokenDescription TokenLink::describe(std::uint64_t generation) {
    session(generation);
    CK_TOKEN_INFO info{};
    const CK_RV rv = functions_->C_GetTokenInfo(slot_, &info);
    if (rv != CKR_OK)
        fail(rv);
    return {trimmedField(info.label, sizeof info.label),
            trimmedField(info.serialNumber, sizeof info.serialNumber), info.flags};
}

void TokenLink::noteLogin() {
    loginUntaken_ = true;
    lastLogin_ = std::chrono::steady_clock::now();
}

bool TokenLink::takeLogin(DWORD& msAgo) {
    if (!loginUntaken_)
        return false;
    loginUntaken_ = false;
    const auto ago = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                           lastLogin_);
    msAgo = static_cast<DWORD>(std::min<long long>(std::max<long long>(ago.count(), 0), 0x7FFFFFFF));
    return true;
}

bool TokenLink::endLogin() {
    loginUntaken_ = false;
    if (!functions_ || generation_ == 0 || session_ == CK_INVALID_HANDLE)
        return true;
    const CK_RV rv = functions_->C_Logout(session_);
    if (rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN)
        return true;
    // A session that has gone holds no login; the next use starts a new generation.
    if (meansRemoved(rv)) {
        drop();
        return true;
    }
    return false;
}

void TokenLink::fail(CK_RV rv) {
    if (meansRemoved(rv))
        drop();
    providers::fail(errorFor(rv));
}

DWORD TokenLink::errorFor(CK_RV rv) {
    switch (rv) {
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_RECOGNIZED:
        return static_cast<DWORD>(SCARD_W_REMOVED_CARD);
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_INVALID:
        return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    case CKR_PIN_LOCKED:
        return static_cast<DWORD>(SCARD_W_CHV_BLOCKED);
    case CKR_DEVICE_MEMORY:
        return static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
    case CKR_HOST_MEMORY:
        return static_cast<DWORD>(NTE_NO_MEMORY);
    case CKR_KEY_SIZE_RANGE:
    case CKR_MECHANISM_PARAM_INVALID:
        return static_cast<DWORD>(NTE_BAD_FLAGS);
    case CKR_DATA_LEN_RANGE:
        return static_cast<DWORD>(NTE_BAD_LEN);
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
        return static_cast<DWORD>(NTE_BAD_DATA);
    case CKR_USER_NOT_LOGGED_IN:
        return static_cast<DWORD>(NTE_PERM);
    case CKR_FUNCTION_CANCELED: // the user cancelled on the reader's PIN pad
        return static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER);
    default:
        return static_cast<DWORD>(NTE_FAIL);
    }
}

} // namespace providers::token
