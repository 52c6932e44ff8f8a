#include "InitToken.h"

#include "EraseCheck.h"
#include "MessageFlags.h"
#include "Messages.h"
#include "ProductConfig.h"

#include <cstring>

PinErrorCountSettings readPinErrorCounts(CK_SLOT_ID slotId, const AdminContext& context) {
    PinErrorCountSettings settings;
    VendorAuxFunctionList* aux = context.library.auxFunctions();
    if (aux == nullptr || aux->E_GetPinErrorCounts == nullptr)
        return settings;
    PinErrorCounts record;
    std::memset(&record, 0, sizeof record);
    if (aux->E_GetPinErrorCounts(slotId, reinterpret_cast<CK_BYTE_PTR>(&record)) != CKR_OK)
        return settings;
    settings.soPinErrorCount = record.soPinErrorCount;
    settings.userPinErrorCount = record.userPinErrorCount;
    return settings;
}

InitTokenDefaults readInitTokenDefaults(CK_SLOT_ID slotId, const AdminContext& context) {
    InitTokenDefaults defaults;
    if (SlotEntry* entry = context.slotManager.findSlot(slotId)) {
        SlotEntry::Lock guard = entry->lock();
        defaults.bounds = {entry->tokenNumber(5), entry->tokenNumber(4)};
        defaults.privateMemorySize = static_cast<std::uint32_t>(entry->tokenNumber(0));
        defaults.publicMemorySize = static_cast<std::uint32_t>(entry->tokenNumber(1));
        defaults.label = currentTokenLabel(slotId, context);
    }
    defaults.counts = readPinErrorCounts(slotId, context);
    return defaults;
}

bool initTokenOkEnabled(const PinBounds& bounds, const SecurePin& soPin, const std::string& label,
                        const SecurePin& userPin, unsigned soPinErrorCount,
                        unsigned userPinErrorCount, unsigned publicMemorySize,
                        unsigned privateMemorySize) {
    return soPin.size() >= bounds.minimum && !label.empty() && userPin.size() >= bounds.minimum &&
           soPinErrorCount < kMaxPinErrorCountField && userPinErrorCount < kMaxPinErrorCountField &&
           publicMemorySize < kMaxMemorySizeField && privateMemorySize < kMaxMemorySizeField;
}

TokenInitParams fillTokenInitParams(const InitTokenInput& input) {
    TokenInitParams params;
    std::memset(&params, 0, sizeof params);
    params.headerByte0 = 1;
    params.headerByte1 = 0;
    params.label = input.label.c_str();
    params.reserved6 = 0;
    params.soPin = input.soPin.c_str();
    params.userPin = input.userPin.c_str();
    params.soPinErrorCount = input.soPinErrorCount;
    params.userPinErrorCount = input.userPinErrorCount;
    params.fixedByte20 = 9;
    params.fixedByte21 = 9;
    params.publicMemorySize = input.publicMemorySize;
    params.privateMemorySize = input.privateMemorySize;
    params.reserved30 = 0;
    params.tokenInitParameter = productConfig.tokenInitParameter;
    return params;
}

void reportInitFailure(CK_RV code, InitTokenOutcome& outcome) {
    showFailureWithCode(854, "Initialize token failed!", " [0x%08lX]", code);
    outcome.rv = code;
    outcome.end = DialogEnd::Cancel;
}

SlotEntry* initTargetSlot(CK_SLOT_ID slotId, const AdminContext& context,
                          InitTokenOutcome& outcome) {
    SlotEntry* entry = context.slotManager.findSlot(slotId);
    if (entry == nullptr) {
        reportInitFailure(CKR_CRYPTOKI_NOT_INITIALIZED, outcome);
        return nullptr;
    }
    if (!entry->tokenPresent) {
        showTokenRemoved();
        outcome.tokenRemoved = true;
        outcome.end = DialogEnd::Ok;
        return nullptr;
    }
    return entry;
}

InitTokenOutcome runInitToken(CK_SLOT_ID slotId, const InitTokenInput& input,
                              const AdminContext& context, const EraseConfirm& confirm) {
    InitTokenOutcome outcome;
    outcome.tokenTouched = true;
    TokenInitParams params = fillTokenInitParams(input);

    SlotEntry* entry = initTargetSlot(slotId, context, outcome);
    if (entry == nullptr)
        return outcome;
    CK_FUNCTION_LIST* functions = context.library.functions();
    VendorAuxFunctionList* aux = context.library.auxFunctions();
    if (functions == nullptr || aux == nullptr || aux->E_InitToken == nullptr) {
        reportInitFailure(CKR_CRYPTOKI_NOT_INITIALIZED, outcome);
        return outcome;
    }

    // Refused like a token that finds a PIN too long, before anything on
    // the token is touched.
    if (input.soPin.tooLong() || input.userPin.tooLong() || input.currentSoPin.tooLong()) {
        std::memset(&params, 0, sizeof params);
        reportInitFailure(CKR_PIN_LEN_RANGE, outcome);
        outcome.tokenTouched = false;
        return outcome;
    }

    if (!checkBeforeErase(slotId, *entry, input.currentSoPin, confirm, context, outcome)) {
        std::memset(&params, 0, sizeof params);
        return outcome;
    }

    // Initialization needs the token without sessions. The slot entry ends
    // its login and session itself first, so neither its login mark nor a
    // closed session handle outlives the old token, even while the message
    // boxes below run an event loop; the caller re-reads the slot afterwards.
    entry->logout();
    functions->C_CloseAllSessions(slotId);
    outcome.rv = aux->E_InitToken(slotId, &params);
    std::memset(&params, 0, sizeof params);
    if (outcome.rv == CKR_OK) {
        showMessage(855, "Inistialize token successfully!", MB_ICONINFORMATION);
        outcome.succeeded = true;
        outcome.end = DialogEnd::Ok;
        outcome.newName = input.label;
        outcome.newPin = input.userPin;
        return outcome;
    }
    if (outcome.rv != CKR_USER_ALREADY_LOGGED_IN)
        showMessage(1109, "Failed to initialize token, please check your input!", MB_ICONERROR);
    outcome.end = DialogEnd::Cancel;
    return outcome;
}
