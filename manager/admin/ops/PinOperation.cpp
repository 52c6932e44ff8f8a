#include "PinOperation.h"

#include "MessageFlags.h"
#include "Messages.h"
#include "PinFailure.h"

namespace {

// clang-format off
const PinOperationRow kRows[] = {
    {PinOperationKind::ChangeUserPin, 130, CKU_USER, true,
     false, false, false,
     true, CKR_OK,
     813, "Change User PIN failed!", " [0x%08lX]",
     814, "Change User PIN successfully!",
     811, "New User PIN (%d to %d characters):"},
    {PinOperationKind::UnblockToken, 137, CKU_SO, false,
     true, true, false,
     false, CKR_CRYPTOKI_NOT_INITIALIZED,
     843, "Unblock token failed!", " [0x%08lX]",
     844, "Unblock token successfully!",
     841, "New User PIN(%d to %d characters):"},
    {PinOperationKind::ChangeSoPin, 134, CKU_SO, true,
     true, true, true,
     false, CKR_OK,
     833, "Change SO PIN failed!", "[0x%08lX]",
     834, "Change SO PIN successfully!",
     831, "New SO PIN(%d to %d characters):"},
};
// clang-format on

// The operation's own session: closed (after an optional logout) on every
// path that opened it.
class OwnSession {
public:
    OwnSession(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId) : functions_(functions) {
        rv_ = functions_->C_OpenSession(slotId, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr,
                                        nullptr, &handle_);
    }
    ~OwnSession() { close(false); }
    OwnSession(const OwnSession&) = delete;
    OwnSession& operator=(const OwnSession&) = delete;

    CK_RV openResult() const { return rv_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

    void close(bool logoutFirst) {
        if (rv_ != CKR_OK || closed_)
            return;
        closed_ = true;
        if (logoutFirst)
            functions_->C_Logout(handle_);
        functions_->C_CloseSession(handle_);
    }

private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    CK_RV rv_ = CKR_OK;
    bool closed_ = false;
};

void failureReport(const PinOperationRow& row, CK_RV code, PinOperationOutcome& outcome) {
    showFailureWithCode(row.failureId, row.failureText, row.suffixFormat, code);
    outcome.rv = code;
    outcome.end = DialogEnd::Cancel;
}

} // namespace

const PinOperationRow& pinOperationRow(PinOperationKind kind) {
    for (const PinOperationRow& row : kRows)
        if (row.kind == kind)
            return row;
    return kRows[0];
}

PinOperationOutcome runPinOperation(PinOperationKind kind, CK_SLOT_ID slotId, const SecurePin& pin1,
                                    const SecurePin& newPin, const AdminContext& context) {
    const PinOperationRow& row = pinOperationRow(kind);
    PinOperationOutcome outcome;
    outcome.tokenTouched = true;

    SlotEntry* entry = context.slotManager.findSlot(slotId);
    CK_FUNCTION_LIST* functions = context.library.functions();
    if (entry == nullptr) {
        if (!row.silentWhenMissing)
            failureReport(row, row.missingCode, outcome);
        return outcome;
    }
    if (!entry->tokenPresent) {
        showTokenRemoved();
        outcome.tokenRemoved = true;
        outcome.end = DialogEnd::Ok;
        return outcome;
    }
    if (functions == nullptr) {
        if (!row.silentWhenMissing)
            failureReport(row, row.missingCode, outcome);
        return outcome;
    }

    // PINs beyond the limit are refused as the token would refuse them, but
    // without a session, a login or a change on the token.
    if (pin1.tooLong()) {
        if (row.loginType == CKU_USER)
            reportUserPinFailure(slotId, CKR_PIN_LEN_RANGE, context);
        else
            reportSoPinFailure(slotId, CKR_PIN_LEN_RANGE, context);
        outcome.tokenTouched = false;
        outcome.rv = CKR_PIN_LEN_RANGE;
        outcome.end = DialogEnd::Cancel;
        return outcome;
    }
    if (newPin.tooLong()) {
        failureReport(row, CKR_PIN_LEN_RANGE, outcome);
        outcome.tokenTouched = false;
        return outcome;
    }

    OwnSession session(functions, slotId);
    if (session.openResult() != CKR_OK) {
        failureReport(row, session.openResult(), outcome);
        return outcome;
    }
    // Login state belongs to the application: this ends any login of the
    // manager on the token, so PIN 1 is proved afresh.
    functions->C_Logout(session.handle());
    CK_RV rv = functions->C_Login(session.handle(), row.loginType, pin1.bytes(), pin1.length());
    // A login the token still holds is a login, as everywhere else.
    if (rv == CKR_USER_ALREADY_LOGGED_IN)
        rv = CKR_OK;
    if (rv != CKR_OK) {
        if (row.loginType == CKU_USER)
            reportUserPinFailure(slotId, rv, context);
        else
            reportSoPinFailure(slotId, rv, context);
        session.close(false);
        outcome.rv = rv;
        outcome.end = DialogEnd::Cancel;
        return outcome;
    }

    if (row.setPin)
        rv = functions->C_SetPIN(session.handle(), pin1.bytes(), pin1.length(), newPin.bytes(),
                                 newPin.length());
    else
        rv = functions->C_InitPIN(session.handle(), newPin.bytes(), newPin.length());

    if (rv != CKR_OK) {
        session.close(row.logoutAfterFailure);
        failureReport(row, rv, outcome);
        return outcome;
    }
    session.close(row.logoutAfterSuccess);
    if (row.slotLogoutAfterSuccess)
        entry->logout();
    showMessage(row.successId, row.successText, MB_ICONINFORMATION);
    outcome.succeeded = true;
    outcome.end = DialogEnd::Ok;
    if (kind != PinOperationKind::ChangeSoPin)
        outcome.newPin = newPin;
    return outcome;
}

bool pinOperationOkEnabled(PinOperationKind kind, const PinBounds& bounds, const SecurePin& pin1,
                           const SecurePin& newPin, const SecurePin& confirmation) {
    if (pin1.size() < bounds.minimum || !(confirmation == newPin))
        return false;
    // The unblock dialog tests the confirmation's length; equal texts make it
    // the same test.
    if (kind == PinOperationKind::UnblockToken)
        return confirmation.size() >= bounds.minimum;
    return newPin.size() >= bounds.minimum;
}
