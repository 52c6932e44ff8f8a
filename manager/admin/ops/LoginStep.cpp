#include "LoginStep.h"

#include "PinFailure.h"

LoginOutcome runLoginStep(CK_SLOT_ID slotId, const SecurePin& pin, const AdminContext& context) {
    LoginOutcome outcome;
    SlotEntry* entry = context.slotManager.findSlot(slotId);
    if (entry == nullptr)
        return outcome;
    if (!entry->tokenPresent) {
        showTokenRemoved();
        outcome.tokenRemoved = true;
        outcome.end = DialogEnd::Ok;
        return outcome;
    }
    // Refused as the token would refuse it, without asking the token.
    outcome.rv = pin.tooLong() ? CKR_PIN_LEN_RANGE : entry->login(pin.bytes(), pin.length());
    if (outcome.rv == CKR_OK || outcome.rv == CKR_USER_ALREADY_LOGGED_IN) {
        outcome.loggedIn = true;
        entry->refreshTokenInfo();
        outcome.end = DialogEnd::Ok;
        return outcome;
    }
    reportUserPinFailure(slotId, outcome.rv, context);
    return outcome;
}

bool loginEnabled(const PinBounds& bounds, const SecurePin& pin) {
    return pin.size() >= bounds.minimum;
}
