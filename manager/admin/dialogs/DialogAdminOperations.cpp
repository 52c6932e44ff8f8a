#include "LoginStep.h"

#include "ChangeTokenNameDlg.h"
#include "DialogAdminOperations.h"
#include "InitTokenDlg.h"
#include "LoginDlg.h"
#include "PinDialogs.h"
#include "QtText.h"

namespace {

template <typename Dialog> AdminOutcome runPinDialog(QWidget* parent, CK_SLOT_ID slotId) {
    Dialog dialog(slotId, parent);
    dialog.exec();
    AdminOutcome outcome;
    outcome.succeeded = dialog.result(outcome.newPin);
    outcome.tokenTouched = dialog.tokenTouched();
    return outcome;
}

} // namespace

DialogAdminOperations& DialogAdminOperations::instance() {
    static DialogAdminOperations operations;
    return operations;
}

bool DialogAdminOperations::login(QWidget* parent, CK_SLOT_ID slotId) {
    CLoginDlg dialog(slotId, parent);
    dialog.exec();
    return dialog.isLoggedIn();
}

bool DialogAdminOperations::loginWithPin(CK_SLOT_ID slotId, const SecurePin& pin) {
    WaitCursor wait;
    return runLoginStep(slotId, pin).loggedIn;
}

AdminOutcome DialogAdminOperations::changeTokenName(QWidget* parent, CK_SLOT_ID slotId) {
    CChangeTokenNameDlg dialog(slotId, parent);
    dialog.exec();
    AdminOutcome outcome;
    outcome.succeeded = dialog.result(outcome.newName);
    return outcome;
}

AdminOutcome DialogAdminOperations::changeUserPin(QWidget* parent, CK_SLOT_ID slotId) {
    return runPinDialog<CChangeUserPinDlg>(parent, slotId);
}

AdminOutcome DialogAdminOperations::unblockToken(QWidget* parent, CK_SLOT_ID slotId) {
    return runPinDialog<CUnblockTokenDlg>(parent, slotId);
}

AdminOutcome DialogAdminOperations::initToken(QWidget* parent, CK_SLOT_ID slotId) {
    CInitTokenDlg dialog(slotId, parent);
    dialog.exec();
    AdminOutcome outcome;
    outcome.succeeded = dialog.result(outcome.newName, outcome.newPin);
    outcome.tokenTouched = dialog.tokenTouched();
    outcome.slotsReread = dialog.slotsReread();
    outcome.tokenSlot = dialog.slotsReread() ? dialog.tokenSlot() : slotId;
    return outcome;
}

AdminOutcome DialogAdminOperations::changeSoPin(QWidget* parent, CK_SLOT_ID slotId) {
    CChangeSoPinDlg dialog(slotId, parent);
    dialog.exec();
    AdminOutcome outcome;
    outcome.succeeded = dialog.succeeded();
    outcome.tokenTouched = dialog.tokenTouched();
    return outcome;
}
