#include "RenameToken.h"

#include "MessageFlags.h"
#include "Messages.h"

namespace {

void failureReport(CK_RV code, RenameOutcome& outcome) {
    showFailureWithCode(822, "Change Toekn name failed!", " [0x%08lX]", code);
    outcome.rv = code;
    outcome.end = DialogEnd::StayOpen;
}

} // namespace

RenameOutcome runRenameToken(CK_SLOT_ID slotId, const std::string& newName,
                             const AdminContext& context) {
    RenameOutcome outcome;
    SlotEntry* entry = context.slotManager.findSlot(slotId);
    if (entry == nullptr) {
        failureReport(CKR_OK, outcome);
        return outcome;
    }
    outcome.rv = entry->setLabel(newName);
    // Presence is tested after the write: a token pulled during it answers
    // with an error that would only confuse.
    if (!entry->tokenPresent) {
        showTokenRemoved();
        outcome.tokenRemoved = true;
        outcome.end = DialogEnd::Ok;
        return outcome;
    }
    if (outcome.rv != CKR_OK) {
        failureReport(outcome.rv, outcome);
        return outcome;
    }
    outcome.written = true;
    showMessage(823, "Change token name successfully!", MB_ICONINFORMATION);
    outcome.end = DialogEnd::Ok;
    return outcome;
}

bool renameResult(CK_SLOT_ID slotId, const std::string& oldName, const std::string& newName,
                  const AdminContext& context) {
    if (context.library.functions() == nullptr)
        return false;
    SlotEntry* entry = context.slotManager.findSlot(slotId);
    if (entry == nullptr || !entry->tokenPresent)
        return false;
    return oldName != newName;
}

bool renameOkEnabled(const std::string& newName) {
    return !newName.empty() && newName.size() <= 32;
}
