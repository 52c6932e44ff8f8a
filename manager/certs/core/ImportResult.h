#pragma once

// The outcome every import returns, and the message each outcome shows.

#include <p11-kit/pkcs11.h>

#include <string>

// Values besides the named ones are PKCS#11 codes that a file import passes
// through unchanged; they show the general failure message.
enum class ImportResult : CK_ULONG {
    Success = 0,
    WrongPassword = 1,
    NoSpace = 2,
    FileNotFound = 3,
    NotSupported = 4,
    GeneralFailure = 5,
    TokenRemoved = 6,
    KeySizeRefused = 7,
    KeyTypeRefused = 8,
    SessionInvalid = 179,
};

inline ImportResult importResultFromRv(CK_RV rv) {
    return static_cast<ImportResult>(rv);
}
inline CK_ULONG importResultCode(ImportResult result) {
    return static_cast<CK_ULONG>(result);
}

// The result of a C_CreateObject the token refused with rv. Only the
// token's memory errors mean no room; a code that would read as one of the
// named results 1 to 8 (CKR_FUNCTION_FAILED is not "Token is removed!") is
// a general failure; any other code passes through, shown as the general
// failure.
ImportResult createObjectFailure(CK_RV rv);

struct ImportResultMessage {
    int id = 0;                        // 0 for success: no message
    const char* defaultText = nullptr; // null for success
};

// Message id and English default of a result; any unlisted value gives 5015.
ImportResultMessage importResultMessage(ImportResult result);

// The translated message text; empty for success.
std::string importResultText(ImportResult result);

// A process exit status for a result: the result's own number when it is a
// listed one, else the general failure 5.
int importResultExitCode(ImportResult result);
