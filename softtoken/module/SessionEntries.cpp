// Session, login and PIN entry points.
#include "Entry.h"

using namespace softtoken::module;

namespace {

bool soLoggedIn(Module& m, CK_SLOT_ID slot) {
    return m.token(slot).login == Login::SO;
}

} // namespace

SOFTTOKEN_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                                     CK_SESSION_HANDLE_PTR phSession) {
    return withModule([&](Module& m) -> CK_RV {
        if (!phSession)
            return CKR_ARGUMENTS_BAD;
        m.pumpEvents();
        Token* t = nullptr;
        const CK_RV rv = m.openToken(slotID, t);
        if (rv != CKR_OK)
            return rv;
        if (!(flags & CKF_SERIAL_SESSION))
            return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        const bool rw = flags & CKF_RW_SESSION;
        if (!rw && soLoggedIn(m, slotID))
            return CKR_SESSION_READ_WRITE_SO_EXISTS;
        return m.openSession(slotID, rw, *phSession);
    });
}

SOFTTOKEN_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        m.closeSession(s.handle);
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return withModule([&](Module& m) -> CK_RV {
        if (!m.validSlot(slotID))
            return CKR_SLOT_ID_INVALID;
        m.pumpEvents();
        if (!m.tokenPresent(slotID))
            return CKR_TOKEN_NOT_PRESENT;
        m.closeAllSessions(slotID);
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pInfo)
            return CKR_ARGUMENTS_BAD;
        pInfo->slotID = s.slot;
        pInfo->state = m.sessionState(s);
        pInfo->flags = CKF_SERIAL_SESSION | (s.rw ? CKF_RW_SESSION : 0);
        pInfo->ulDeviceError = 0;
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType,
                               CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pPin && ulPinLen != 0)
            return CKR_ARGUMENTS_BAD;
        if (ulPinLen > store::kMaxPinLen)
            return CKR_PIN_LEN_RANGE;
        if (userType == CKU_CONTEXT_SPECIFIC)
            return CKR_OPERATION_NOT_INITIALIZED; // no key here asks for it
        if (userType != CKU_USER && userType != CKU_SO)
            return CKR_USER_TYPE_INVALID;
        const Login who = userType == CKU_SO ? Login::SO : Login::User;
        Token* t = nullptr;
        CK_RV rv = m.openToken(s.slot, t);
        if (rv != CKR_OK)
            return rv;
        if (t->login == who)
            return CKR_USER_ALREADY_LOGGED_IN;
        if (t->login != Login::None)
            return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (who == Login::SO && m.sessionCount(s.slot, false) != m.sessionCount(s.slot, true))
            return CKR_SESSION_READ_ONLY_EXISTS;
        SecureBytes key;
        rv = t->db->login(userType, SecureBytes(pPin, ulPinLen), key);
        if (rv != CKR_OK)
            return rv;
        m.loggedIn(s.slot, who, std::move(key));
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (m.token(s.slot).login == Login::None)
            return CKR_USER_NOT_LOGGED_IN;
        m.logout(s.slot);
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin,
                                 CK_ULONG ulPinLen) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pPin && ulPinLen != 0)
            return CKR_ARGUMENTS_BAD;
        if (ulPinLen > store::kMaxPinLen)
            return CKR_PIN_LEN_RANGE;
        if (m.sessionState(s) != CKS_RW_SO_FUNCTIONS)
            return CKR_USER_NOT_LOGGED_IN;
        Token* t = nullptr;
        CK_RV rv = m.openToken(s.slot, t);
        if (rv != CKR_OK)
            return rv;
        rv = t->db->initUserPin(t->tokenKey, SecureBytes(pPin, ulPinLen));
        if (rv == CKR_OK)
            m.appendEvent(s.slot, E_EVENT_USER_PIN_CHANGED);
        return rv;
    });
}

SOFTTOKEN_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin,
                                CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if ((!pOldPin && ulOldLen != 0) || (!pNewPin && ulNewLen != 0))
            return CKR_ARGUMENTS_BAD;
        if (ulOldLen > store::kMaxPinLen || ulNewLen > store::kMaxPinLen)
            return CKR_PIN_LEN_RANGE;
        if (!s.rw)
            return CKR_SESSION_READ_ONLY;
        Token* t = nullptr;
        CK_RV rv = m.openToken(s.slot, t);
        if (rv != CKR_OK)
            return rv;
        const CK_USER_TYPE user = t->login == Login::SO ? CKU_SO : CKU_USER;
        rv = t->db->changePin(user, SecureBytes(pOldPin, ulOldLen), SecureBytes(pNewPin, ulNewLen));
        if (rv == CKR_OK)
            m.appendEvent(s.slot,
                          user == CKU_SO ? E_EVENT_SO_PIN_CHANGED : E_EVENT_USER_PIN_CHANGED);
        return rv;
    });
}
