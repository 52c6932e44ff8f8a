#pragma once

// The one PIN operation behind the user PIN change (dialog 130), the unblock
// (137) and the SO PIN change (134): prove PIN 1 on a session of its own, then
// set the new PIN. The rows below are the only difference between the three.

#include "AdminContext.h"
#include "SecurePin.h"

enum class PinOperationKind { ChangeUserPin, UnblockToken, ChangeSoPin };

struct PinOperationRow {
    PinOperationKind kind;
    int dialogId;
    CK_USER_TYPE loginType;
    // C_SetPIN(session, PIN 1, new PIN) when true, else C_InitPIN(session, new PIN).
    bool setPin;
    // C_Logout before C_CloseSession after success / after failure.
    bool logoutAfterSuccess;
    bool logoutAfterFailure;
    // SlotEntry::logout() on the slot's own entry after success.
    bool slotLogoutAfterSuccess;
    // Missing slot entry or unbound table: silent (the dialog stays open) or
    // the failure report with `missingCode`.
    bool silentWhenMissing;
    CK_RV missingCode;
    int failureId;
    const char* failureText;
    const char* suffixFormat;
    int successId;
    const char* successText;
    // The new-PIN label of the dialog.
    int boundsLabelId;
    const char* boundsLabelText;
};

const PinOperationRow& pinOperationRow(PinOperationKind kind);

struct PinOperationOutcome {
    DialogEnd end = DialogEnd::StayOpen;
    bool succeeded = false;
    // Set as soon as the operation starts, whatever follows, unless a PIN
    // was refused for its length before the token was asked.
    bool tokenTouched = false;
    bool tokenRemoved = false;
    // The first failing result (login or operation); CKR_OK on success.
    CK_RV rv = CKR_OK;
    // The new PIN after a success, else empty.
    SecurePin newPin;
};

PinOperationOutcome runPinOperation(PinOperationKind kind, CK_SLOT_ID slotId, const SecurePin& pin1,
                                    const SecurePin& newPin,
                                    const AdminContext& context = defaultAdminContext());

// The OK rule of each dialog (byte lengths, exact byte comparison).
bool pinOperationOkEnabled(PinOperationKind kind, const PinBounds& bounds, const SecurePin& pin1,
                           const SecurePin& newPin, const SecurePin& confirmation);
