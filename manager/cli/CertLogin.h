#pragma once

// The user login the certificate commands need before they see private
// objects or write to the token. Kept apart from the certificate code: the
// administration and import headers both name a DialogEnd of their own.

#include "PinInput.h"
#include "ToolContext.h"

#include <p11-kit/pkcs11.h>

#include <ostream>

// Reads the user PIN from `input` and logs the slot's session in (in this
// process, through the slot entry). ExitOk when logged in; otherwise the
// reason was shown or written to `err`: ExitBadInput (no PIN, too short),
// ExitNoToken (token removed), ExitRefused (wrong or blocked PIN).
ExitCode loginUserForCertificates(CK_SLOT_ID slotId, PinInput& input, std::ostream& err);
