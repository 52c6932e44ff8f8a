#include "ModuleInitToken.h"

#include "EraseCheck.h"
#include "MessageFlags.h"
#include "Messages.h"

#include <array>
#include <cstring>

bool vendorInitAvailable(const AdminContext& context) {
    VendorAuxFunctionList* aux = context.library.auxFunctions();
    return aux != nullptr && aux->E_InitToken != nullptr;
}

bool moduleInitOkEnabled(const PinBounds& bounds, const ModuleInitInput& input) {
    return input.currentSoPin.size() >= bounds.minimum && !input.label.empty() &&
           input.label.size() <= kMaxTokenNameLength && input.userPin.size() >= bounds.minimum &&
           (input.newSoPin.empty() || input.newSoPin.size() >= bounds.minimum);
}

namespace {

// The steps after C_InitToken, in the one session they need.
CK_RV setPins(CK_FUNCTION_LIST* fns, CK_SLOT_ID slotId, const ModuleInitInput& input) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV rv = fns->C_OpenSession(slotId, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                                  &session);
    if (rv != CKR_OK)
        return rv;
    rv = fns->C_Login(session, CKU_SO, input.currentSoPin.bytes(), input.currentSoPin.length());
    if (rv == CKR_USER_ALREADY_LOGGED_IN)
        rv = CKR_OK;
    if (rv == CKR_OK)
        rv = fns->C_InitPIN(session, input.userPin.bytes(), input.userPin.length());
    if (rv == CKR_OK && !input.newSoPin.empty())
        rv = fns->C_SetPIN(session, input.currentSoPin.bytes(), input.currentSoPin.length(),
                           input.newSoPin.bytes(), input.newSoPin.length());
    fns->C_Logout(session);
    fns->C_CloseSession(session);
    return rv;
}

// The slot that holds the token now: the same one if it still shows the new
// name, else the first other slot that does.
CK_SLOT_ID slotAfterInit(CK_SLOT_ID slotId, const std::string& label, SlotManager& slots) {
    SlotEntry* same = slots.findSlot(slotId);
    if (same != nullptr && same->tokenPresent && same->tokenLabel() == label)
        return slotId;
    for (const auto& [id, entry] : slots.allSlots())
        if (entry->tokenPresent && entry->tokenLabel() == label)
            return id;
    return slotId;
}

} // namespace

ModuleInitOutcome runModuleInitToken(CK_SLOT_ID slotId, const ModuleInitInput& input,
                                     const AdminContext& context, const EraseConfirm& confirm) {
    ModuleInitOutcome outcome;
    outcome.slotId = slotId;
    SlotEntry* entry = initTargetSlot(slotId, context, outcome);
    if (entry == nullptr)
        return outcome;
    CK_FUNCTION_LIST* fns = context.library.functions();
    if (fns == nullptr) {
        reportInitFailure(CKR_CRYPTOKI_NOT_INITIALIZED, outcome);
        return outcome;
    }
    if (input.currentSoPin.tooLong() || input.userPin.tooLong() || input.newSoPin.tooLong() ||
        input.label.empty() || input.label.size() > kMaxTokenNameLength) {
        reportInitFailure(input.label.empty() || input.label.size() > kMaxTokenNameLength
                          ? CKR_ARGUMENTS_BAD
                          : CKR_PIN_LEN_RANGE,
                      outcome);
        return outcome;
    }
    outcome.tokenTouched = true;
    if (!checkBeforeErase(slotId, *entry, input.currentSoPin, confirm, context, outcome))
        return outcome;

    // The label field is 32 bytes padded with blanks, never NUL-terminated.
    std::array<CK_UTF8CHAR, 32> label;
    label.fill(' ');
    std::memcpy(label.data(), input.label.data(), input.label.size());

    // C_InitToken needs the token without sessions; the slot entry drops its
    // own first so neither its login mark nor its handle outlives the token.
    entry->logout();
    fns->C_CloseAllSessions(slotId);
    outcome.rv = fns->C_InitToken(slotId, input.currentSoPin.bytes(), input.currentSoPin.length(),
                                  label.data());
    if (outcome.rv != CKR_OK) {
        showMessage(1109, "Failed to initialize token, please check your input!", MB_ICONERROR);
        outcome.end = DialogEnd::Cancel;
        outcome.slotsReread = context.slotManager.rescanSlots();
        return outcome;
    }
    CK_RV pins = setPins(fns, slotId, input);
    outcome.slotsReread = context.slotManager.rescanSlots();
    outcome.slotId = slotAfterInit(slotId, input.label, context.slotManager);
    if (pins != CKR_OK) {
        // The token is erased but its user PIN was not set: say so with the code.
        reportInitFailure(pins, outcome);
        return outcome;
    }
    showMessage(855, "Inistialize token successfully!", MB_ICONINFORMATION);
    outcome.rv = CKR_OK;
    outcome.succeeded = true;
    outcome.end = DialogEnd::Ok;
    outcome.newName = input.label;
    outcome.newPin = input.userPin;
    return outcome;
}
