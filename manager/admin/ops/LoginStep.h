#pragma once

// The login step of the login dialog, also run without the dialog after a
// PIN change to log in again with the new PIN.

#include "AdminContext.h"
#include "SecurePin.h"

struct LoginOutcome {
    // Ok: the dialog closes with IDOK (logged in, or the token was removed);
    // Cancel: the attempt failed (message shown) or the slot vanished.
    DialogEnd end = DialogEnd::Cancel;
    bool loggedIn = false;
    bool tokenRemoved = false;
    CK_RV rv = CKR_OK;
};

LoginOutcome runLoginStep(CK_SLOT_ID slotId, const SecurePin& pin,
                          const AdminContext& context = defaultAdminContext());

// The login button's rule: the PIN is at least the token's minimum in bytes.
bool loginEnabled(const PinBounds& bounds, const SecurePin& pin);
