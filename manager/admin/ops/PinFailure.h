#pragma once

// Turns a failed C_Login into the message for the user: the token's PIN
// state flags are read afresh and decide between "wrong PIN", "last attempt"
// and "blocked". Neither changes any state nor touches a session.

#include "AdminContext.h"

// CKU_USER. Shows nothing for CKR_OK and CKR_USER_ALREADY_LOGGED_IN.
void reportUserPinFailure(CK_SLOT_ID slotId, CK_RV rv,
                          const AdminContext& context = defaultAdminContext());
// CKU_SO, same rules with the SO texts.
void reportSoPinFailure(CK_SLOT_ID slotId, CK_RV rv,
                        const AdminContext& context = defaultAdminContext());
