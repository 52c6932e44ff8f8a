// A PKCS#11 module that stands for a reader with a PIN pad in front of another module: its tokens
// carry CKF_PROTECTED_AUTHENTICATION_PATH, and a login without a PIN takes the PIN "typed on the
// pad" from KORVAN_PINPAD_PIN (or is cancelled on the pad when KORVAN_PINPAD_CANCEL is set).
// Every login is logged to KORVAN_PINPAD_LOG: "pad" without a PIN, "pin" with one.
//
// The module in front of which it stands is KORVAN_PINPAD_WRAPPED.
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST* wrapped = nullptr;
CK_FUNCTION_LIST table;

void logLogin(const char* how) {
    if (const char* path = std::getenv("KORVAN_PINPAD_LOG")) {
        if (FILE* log = std::fopen(path, "a")) {
            std::fprintf(log, "%s\n", how);
            std::fclose(log);
        }
    }
}

CK_RV padTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    const CK_RV rv = wrapped->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK && info)
        info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    return rv;
}

CK_RV padLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length) {
    if (pin) {
        logLogin("pin");
        return wrapped->C_Login(session, user, pin, length);
    }
    logLogin("pad");
    if (std::getenv("KORVAN_PINPAD_CANCEL"))
        return CKR_FUNCTION_CANCELED;
    const char* typed = std::getenv("KORVAN_PINPAD_PIN");
    if (!typed)
        return CKR_PIN_INCORRECT;
    return wrapped->C_Login(session, user,
                            reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(typed)),
                            std::strlen(typed));
}

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    if (!list)
        return CKR_ARGUMENTS_BAD;
    if (!wrapped) {
        const char* path = std::getenv("KORVAN_PINPAD_WRAPPED");
        void* module = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto get = module ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))
                          : nullptr;
        if (!get || get(&wrapped) != CKR_OK || !wrapped)
            return CKR_GENERAL_ERROR;
        table = *wrapped;
        table.C_GetTokenInfo = padTokenInfo;
        table.C_Login = padLogin;
    }
    *list = &table;
    return CKR_OK;
}
