#pragma once

// The navigation tree's administration operations over the six dialogs:
// each runs its dialog modally for the slot and reports what happened.

#include "AdminOperations.h"

class DialogAdminOperations : public AdminOperations {
public:
    // The one instance the program installs in its main window.
    static DialogAdminOperations& instance();

    bool login(QWidget* parent, CK_SLOT_ID slotId) override;
    // The login step with a known PIN, without a dialog: messages as the
    // dialog would show them.
    bool loginWithPin(CK_SLOT_ID slotId, const SecurePin& pin) override;

    AdminOutcome changeTokenName(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome changeUserPin(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome initToken(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome unblockToken(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome changeSoPin(QWidget* parent, CK_SLOT_ID slotId) override;
};
