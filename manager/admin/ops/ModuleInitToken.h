#pragma once

// Re-initialization of a token whose module has no vendor table: the
// standard calls C_InitToken, C_Login as SO, C_InitPIN and, when asked,
// C_SetPIN for a new SO PIN. Retry limits and memory sizes stay as the
// module decides; they can only be set through the vendor entry.

#include "InitToken.h"

// Whether the vendor entry for initialization is there; otherwise the
// initialization runs through runModuleInitToken().
bool vendorInitAvailable(const AdminContext& context = defaultAdminContext());

struct ModuleInitInput {
    SecurePin currentSoPin;
    std::string label;
    SecurePin userPin;
    SecurePin newSoPin; // empty: the SO PIN stays
};

// Both PINs at least the token's minimum, a new SO PIN empty or at least
// the minimum, a name of 1 to 32 bytes.
bool moduleInitOkEnabled(const PinBounds& bounds, const ModuleInitInput& input);

// Once the token was touched the slot list is read again (slotsReread):
// some modules move an initialized token to another slot id, and slotId then
// names the slot that holds the token afterwards.
struct ModuleInitOutcome : InitTokenOutcome {
    CK_SLOT_ID slotId = 0;
    bool slotsReread = false;
};
// An initialized token is erased only after the same check and question
// as the vendor initialization.
ModuleInitOutcome runModuleInitToken(CK_SLOT_ID slotId, const ModuleInitInput& input,
                                     const AdminContext& context = defaultAdminContext(),
                                     const EraseConfirm& confirm = confirmEraseWithMessageBox);
