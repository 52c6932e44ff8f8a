#include "EraseCheck.h"

#include "MessageFlags.h"
#include "Messages.h"
#include "PinFailure.h"

#include <string_view>
#include <vector>

namespace {

// More objects than any token holds; a module that never ends its search
// cannot hold the question back.
constexpr std::size_t kMaxCountedObjects = 1000000;

// Each "%s" or "%d" of a translated text takes the next value as text and
// "%%" is one '%'; anything else, and a directive beyond the values, is shown
// as it stands rather than read as a format.
std::string fillIn(const std::string& format, const std::vector<std::string>& values) {
    std::string out;
    std::size_t used = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            char next = format[i + 1];
            if (next == '%') {
                out += '%';
                ++i;
                continue;
            }
            if ((next == 's' || next == 'd') && used < values.size()) {
                out += values[used++];
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// The token objects the session sees, and whether the private ones are among them.
std::size_t countObjects(CK_FUNCTION_LIST* fns, CK_SESSION_HANDLE session, bool& privateCounted) {
    CK_SESSION_INFO info{};
    privateCounted = fns->C_GetSessionInfo(session, &info) == CKR_OK &&
                     (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE query{CKA_TOKEN, &onToken, sizeof onToken};
    std::size_t count = 0;
    if (fns->C_FindObjectsInit(session, &query, 1) != CKR_OK)
        return 0;
    // One at a time, as the slot entry enumerates.
    while (count < kMaxCountedObjects) {
        CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
        CK_ULONG n = 0;
        if (fns->C_FindObjects(session, &found, 1, &n) != CKR_OK || n != 1)
            break;
        ++count;
    }
    fns->C_FindObjectsFinal(session);
    return count;
}

} // namespace

bool confirmEraseWithMessageBox(const std::string& text) {
    return showText(text, MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) == IDOK;
}

bool tokenNeedsSoPin(CK_SLOT_ID slotId, const AdminContext& context) {
    CK_FUNCTION_LIST* fns = context.library.functions();
    CK_TOKEN_INFO info{};
    if (fns == nullptr || fns->C_GetTokenInfo(slotId, &info) != CKR_OK)
        return true;
    return (info.flags & CKF_TOKEN_INITIALIZED) != 0;
}

std::string eraseQuestion(const EraseTarget& target) {
    std::vector<std::string> values{target.label, target.serialNumber,
                                    std::to_string(target.objects)};
    if (target.privateCounted)
        return fillIn(translate(863, "Initialize the token \"%s\" (serial number %s)?\n"
                                     "All %d objects on it will be lost."),
                      values);
    return fillIn(translate(864, "Initialize the token \"%s\" (serial number %s)?\n"
                                 "Its %d public objects and all its private objects will be lost."),
                  values);
}

bool checkBeforeErase(CK_SLOT_ID slotId, SlotEntry& entry, const SecurePin& currentSoPin,
                      const EraseConfirm& confirm, const AdminContext& context,
                      InitTokenOutcome& outcome) {
    if (!tokenNeedsSoPin(slotId, context))
        return true;
    CK_FUNCTION_LIST* fns = context.library.functions();
    EraseTarget target;
    target.label = currentTokenLabel(slotId, context);
    target.serialNumber = trimmed(entry.tokenText(13));

    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV rv = fns->C_OpenSession(slotId, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                                  &session);
    if (rv != CKR_OK) {
        reportInitFailure(rv, outcome);
        return false;
    }
    // Counted while the user's login, if any, still shows the private objects.
    target.objects = countObjects(fns, session, target.privateCounted);
    entry.logout();
    fns->C_Logout(session);
    rv = fns->C_Login(session, CKU_SO, currentSoPin.bytes(), currentSoPin.length());
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        fns->C_CloseSession(session);
        reportSoPinFailure(slotId, rv, context);
        outcome.rv = rv;
        outcome.end = DialogEnd::Cancel;
        return false;
    }
    fns->C_Logout(session);
    fns->C_CloseSession(session);

    if (!confirm(eraseQuestion(target))) {
        outcome.declined = true;
        outcome.end = DialogEnd::StayOpen;
        return false;
    }
    return true;
}
