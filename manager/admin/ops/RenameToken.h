#pragma once

// Writes a new token label through the slot entry (vendor entry
// E_SetTokenLabel).

#include "AdminContext.h"

#include <string>

struct RenameOutcome {
    // Ok after a success or a removed token; StayOpen after a failure so the
    // user can correct the name or cancel.
    DialogEnd end = DialogEnd::StayOpen;
    // The label was written (E_SetTokenLabel returned CKR_OK).
    bool written = false;
    bool tokenRemoved = false;
    CK_RV rv = CKR_OK;
};

RenameOutcome runRenameToken(CK_SLOT_ID slotId, const std::string& newName,
                             const AdminContext& context = defaultAdminContext());

// The dialog's result; `oldName` is the name shown when it opened (or,
// after Cancel, the new-name text). True exactly when the table is bound, the entry
// exists, its token is present and the new name differs (bytes) from the old.
bool renameResult(CK_SLOT_ID slotId, const std::string& oldName, const std::string& newName,
                  const AdminContext& context = defaultAdminContext());

// OK is enabled for a name of 1 to 32 bytes.
bool renameOkEnabled(const std::string& newName);
