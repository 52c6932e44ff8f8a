#include "AdminFakeFixture.h"

#include <cstring>

namespace {

CK_RV (*originalOpenSession)(CK_SLOT_ID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR);
CK_RV (*originalCloseSession)(CK_SESSION_HANDLE);
CK_RV (*originalLogout)(CK_SESSION_HANDLE);
CK_RV (*originalGetTokenInfo)(CK_SLOT_ID, CK_TOKEN_INFO_PTR);

void log(const std::string& call) {
    AdminFake::current().calls.push_back(call);
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR out) {
    CK_RV rv = originalOpenSession(slot, flags, app, notify, out);
    log("C_OpenSession(" + std::to_string(flags) + ")");
    return rv;
}

CK_RV closeSession(CK_SESSION_HANDLE session) {
    log("C_CloseSession");
    return originalCloseSession(session);
}

CK_RV closeAllSessions(CK_SLOT_ID) {
    log("C_CloseAllSessions");
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    f.openSessions.clear();
    return CKR_OK;
}

CK_RV logout(CK_SESSION_HANDLE session) {
    log("C_Logout");
    return originalLogout(session);
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    AdminFake& admin = AdminFake::current();
    log(user == CKU_SO ? "C_Login(SO)" : "C_Login(USER)");
    admin.pins.emplace_back(reinterpret_cast<const char*>(pin), length);
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    f.loginSessions.push_back(session);
    if (admin.retryLimit > 0) {
        if (admin.failures >= admin.retryLimit)
            return CKR_PIN_LOCKED;
        int left = admin.retryLimit - ++admin.failures;
        bool so = user == CKU_SO;
        CK_FLAGS flags = left == 0   ? (so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED)
                         : left == 1 ? (so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY)
                                     : (so ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW);
        for (auto& entry : f.slotMap)
            entry.second.tokenFlags = flags;
        return CKR_PIN_INCORRECT;
    }
    if (f.loginResult != CKR_OK && f.loginResult != CKR_USER_ALREADY_LOGGED_IN) {
        for (auto& [id, slot] : f.slotMap) {
            if (admin.flagsAfterFailedLogin)
                slot.tokenFlags = *admin.flagsAfterFailedLogin;
            if (admin.tokenInfoResultAfterFailedLogin)
                slot.tokenInfoResult = *admin.tokenInfoResultAfterFailedLogin;
        }
    }
    return f.loginResult;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    log("C_GetTokenInfo");
    return originalGetTokenInfo(slot, info);
}

CK_RV setPin(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLength) {
    AdminFake& admin = AdminFake::current();
    log("C_SetPIN");
    admin.pins.emplace_back(reinterpret_cast<const char*>(oldPin), oldLength);
    admin.pins.emplace_back(reinterpret_cast<const char*>(newPin), newLength);
    return admin.setPinResult;
}

CK_RV initPin(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    AdminFake& admin = AdminFake::current();
    log("C_InitPIN");
    admin.pins.emplace_back(reinterpret_cast<const char*>(pin), length);
    return admin.initPinResult;
}

CK_RV initToken(CK_SLOT_ID, const TokenInitParams* params) {
    AdminFake& admin = AdminFake::current();
    log("E_InitToken");
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(params);
    admin.initRecord.assign(bytes, bytes + sizeof *params);
    admin.initLabel = params->label;
    admin.initSoPin = params->soPin;
    admin.initUserPin = params->userPin;
    return admin.initTokenResult;
}

CK_RV getSessionInfo(CK_SESSION_HANDLE, CK_SESSION_INFO_PTR info) {
    log("C_GetSessionInfo");
    *info = CK_SESSION_INFO{};
    info->state = AdminFake::current().sessionState;
    info->flags = CKF_RW_SESSION | CKF_SERIAL_SESSION;
    return CKR_OK;
}

CK_RV getPinErrorCounts(CK_SLOT_ID, CK_BYTE_PTR record) {
    AdminFake& admin = AdminFake::current();
    log("E_GetPinErrorCounts");
    if (admin.pinErrorCountsResult != CKR_OK) {
        // A failing library may still have scribbled on the record.
        std::memset(record, 0x33, sizeof(PinErrorCounts));
        return admin.pinErrorCountsResult;
    }
    std::memcpy(record, &admin.pinErrorCounts, sizeof(PinErrorCounts));
    return CKR_OK;
}

} // namespace

AdminFake& AdminFake::current() {
    static AdminFake fake;
    return fake;
}

void AdminFake::install(FakeSlotLibrary& fake) {
    current() = AdminFake{};
    CK_FUNCTION_LIST& fns = fake.functions;
    originalOpenSession = fns.C_OpenSession;
    originalCloseSession = fns.C_CloseSession;
    originalLogout = fns.C_Logout;
    originalGetTokenInfo = fns.C_GetTokenInfo;
    fns.C_OpenSession = openSession;
    fns.C_CloseSession = closeSession;
    fns.C_CloseAllSessions = closeAllSessions;
    fns.C_Logout = logout;
    fns.C_Login = login;
    fns.C_GetTokenInfo = getTokenInfo;
    fns.C_SetPIN = setPin;
    fns.C_InitPIN = initPin;
    fns.C_GetSessionInfo = getSessionInfo;
    fake.aux.E_InitToken = initToken;
    fake.aux.E_GetPinErrorCounts = getPinErrorCounts;
}
