#pragma once

// The token administration dialogs as the navigation tree starts them. The
// tree decides when an operation may run and brings the tree and the views
// up to date afterwards; an implementation of this interface runs the dialog
// for the slot and reports what happened.

#include "SecurePin.h"

#include <p11-kit/pkcs11.h>

#include <string>

class QWidget;

struct AdminOutcome {
    // The dialog's operation succeeded.
    bool succeeded = false;
    // The token was changed although the dialog did not succeed (for
    // example a PIN now counts one more failure), so its state is re-read.
    bool tokenTouched = false;
    // The new token name (rename, initialization).
    std::string newName;
    // The slot list was read again (an initialization through the standard
    // calls): the tree's items are stale, and the token is now in tokenSlot,
    // which may be another slot than the one the operation started on.
    bool slotsReread = false;
    CK_SLOT_ID tokenSlot = 0;
    // The new user PIN (PIN change, unblock, initialization); its buffer is
    // wiped when the tree has logged in again or the outcome is dropped.
    SecurePin newPin;
};

class AdminOperations {
public:
    virtual ~AdminOperations() = default;

    // The login dialog; true when the slot is logged in afterwards.
    virtual bool login(QWidget* parent, CK_SLOT_ID slotId) = 0;
    // The login step without a dialog, after a PIN change; true when logged in.
    virtual bool loginWithPin(CK_SLOT_ID slotId, const SecurePin& pin) = 0;

    virtual AdminOutcome changeTokenName(QWidget* parent, CK_SLOT_ID slotId) = 0;
    virtual AdminOutcome changeUserPin(QWidget* parent, CK_SLOT_ID slotId) = 0;
    virtual AdminOutcome initToken(QWidget* parent, CK_SLOT_ID slotId) = 0;
    virtual AdminOutcome unblockToken(QWidget* parent, CK_SLOT_ID slotId) = 0;
    virtual AdminOutcome changeSoPin(QWidget* parent, CK_SLOT_ID slotId) = 0;
};

// The tree's operations until it is given others (setAdminOperations): the
// program gives it the dialogs at start, so only a window built without
// them, as in tests, gets here. Every operation says in the debug channel
// that it is not available and reports that nothing happened.
class UnavailableAdminOperations : public AdminOperations {
public:
    bool login(QWidget* parent, CK_SLOT_ID slotId) override;
    bool loginWithPin(CK_SLOT_ID slotId, const SecurePin& pin) override;
    AdminOutcome changeTokenName(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome changeUserPin(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome initToken(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome unblockToken(QWidget* parent, CK_SLOT_ID slotId) override;
    AdminOutcome changeSoPin(QWidget* parent, CK_SLOT_ID slotId) override;
};
