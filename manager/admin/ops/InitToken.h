#pragma once

// Re-initialization of a token through the vendor entry E_InitToken: new SO
// and user PIN, name, retry limits and memory layout in one record.

#include "AdminContext.h"
#include "SecurePin.h"

#include <korvan/vendor_aux.h>

#include <cstdint>
#include <functional>
#include <string>

struct PinErrorCountSettings {
    std::uint8_t soPinErrorCount = 6;
    std::uint8_t userPinErrorCount = 6;
};

// E_GetPinErrorCounts; 6 and 6 when it fails or the vendor table is unbound.
PinErrorCountSettings readPinErrorCounts(CK_SLOT_ID slotId,
                                         const AdminContext& context = defaultAdminContext());

// What the dialog shows when it opens.
struct InitTokenDefaults {
    PinBounds bounds;
    std::string label;
    PinErrorCountSettings counts;
    std::uint32_t publicMemorySize = 0;
    std::uint32_t privateMemorySize = 0;
};
InitTokenDefaults readInitTokenDefaults(CK_SLOT_ID slotId,
                                        const AdminContext& context = defaultAdminContext());

struct InitTokenInput {
    // Checked before an initialized token is erased; unused otherwise.
    SecurePin currentSoPin;
    SecurePin soPin;
    SecurePin userPin;
    std::string label;
    std::uint8_t soPinErrorCount = 6;
    std::uint8_t userPinErrorCount = 6;
    std::uint32_t publicMemorySize = 0;
    std::uint32_t privateMemorySize = 0;
};

// Field limits of the dialog's validation, and the OK rule (counts below 15,
// sizes below 64000, both PINs at least the minimum, a name).
inline constexpr unsigned kMaxPinErrorCountField = 15;
inline constexpr unsigned kMaxMemorySizeField = 64000;
inline constexpr std::size_t kMaxTokenNameLength = 32;
bool initTokenOkEnabled(const PinBounds& bounds, const SecurePin& soPin, const std::string& label,
                        const SecurePin& userPin, unsigned soPinErrorCount,
                        unsigned userPinErrorCount, unsigned publicMemorySize,
                        unsigned privateMemorySize);

// The record for E_InitToken; its pointers point into `input`.
TokenInitParams fillTokenInitParams(const InitTokenInput& input);

struct InitTokenOutcome {
    DialogEnd end = DialogEnd::Cancel;
    bool succeeded = false;
    bool tokenTouched = false;
    bool tokenRemoved = false;
    bool declined = false; // the erase question was answered Cancel
    CK_RV rv = CKR_OK;
    // After a success: the new name and user PIN; else empty.
    std::string newName;
    SecurePin newPin;
};

// Shared by both initializations. Shows "Initialize token failed!" with the
// code and ends the dialog as cancelled.
void reportInitFailure(CK_RV code, InitTokenOutcome& outcome);
// The slot entry to initialize, or null after reporting why not: an unknown
// slot fails with a code, a slot without a token ends with "Token is removed!".
SlotEntry* initTargetSlot(CK_SLOT_ID slotId, const AdminContext& context,
                          InitTokenOutcome& outcome);

// Answers the question before an initialized token is erased (a composed,
// translated text naming the token, its serial number and its objects);
// true: go on.
using EraseConfirm = std::function<bool(const std::string& text)>;
// The question as a message box with OK and Cancel, Cancel the default.
bool confirmEraseWithMessageBox(const std::string& text);

// An initialized token is erased only after its current SO PIN passed a
// login of its own and `confirm` said yes (EraseCheck.h).
InitTokenOutcome runInitToken(CK_SLOT_ID slotId, const InitTokenInput& input,
                              const AdminContext& context = defaultAdminContext(),
                              const EraseConfirm& confirm = confirmEraseWithMessageBox);
