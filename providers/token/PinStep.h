// The PIN step: the user PIN asked through pinentry (or given by the caller), then C_Login on
// the module-wide session. And the confirmation asked before a container is deleted.
//
// Codes: cancel SCARD_W_CANCELLED_BY_USER, wrong PIN SCARD_W_WRONG_CHV, locked PIN
// SCARD_W_CHV_BLOCKED, no user interface allowed (CRYPT_SILENT) NTE_SILENT_CONTEXT, pinentry
// missing or broken NTE_FAIL, token gone SCARD_W_REMOVED_CARD.
#pragma once

#include "providers/token/Pinentry.h"
#include "providers/token/Token.h"

#include <cstdint>
#include <string>

namespace providers::token {

// Logs the user in unless the token already is. `givenPin` null: ask through pinentry (refused
// with NTE_SILENT_CONTEXT when `silent`); else the zero-terminated PIN the caller gave. A token
// whose reader has a PIN pad (CKF_PROTECTED_AUTHENTICATION_PATH) is logged in without a PIN when
// none is given, while pinentry tells the user to use the pad.
void runPinStep(TokenLink& link, std::uint64_t generation, bool silent, const char* givenPin);

// The warning shown above the PIN field, from the token's PIN flags and whether the last PIN
// given for this token in this process was wrong; empty when there is none.
std::string pinWarning(CK_FLAGS tokenFlags, bool lastWasWrong);

// The texts of the PIN question and of the deletion question, naming the token (and the web
// origin of KORVAN_CALLER_ORIGIN when it is set).
PinentryTexts pinTexts(const TokenDescription& token, const std::string& warning);
PinentryTexts pinPadTexts(const TokenDescription& token, const std::string& warning);

// What a deletion destroys: the key pair and the certificate the container holds.
struct DeletedObjects {
    bool keyPair = false;
    bool certificate = false;
    std::string certificateName; // its display name, when it has one
};
PinentryTexts deletionTexts(const TokenDescription& token, const std::string& container,
                            const DeletedObjects& objects);

// Asks before a deletion; returns normally only when the user agreed.
void confirmDeletion(const TokenDescription& token, const std::string& container,
                     const DeletedObjects& objects);

} // namespace providers::token
