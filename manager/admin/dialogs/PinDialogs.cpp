#include "PinOperation.h"

#include "DialogTranslation.h"
#include "PinDialogs.h"
#include "QtText.h"
#include "ui_ChangeSoPinDlg.h"
#include "ui_ChangeUserPinDlg.h"
#include "ui_UnblockTokenDlg.h"

PinDialog::PinDialog(PinOperationKind kind, CK_SLOT_ID slotId, QWidget* parent)
    : AdminDialog(slotId, parent), kind_(kind) {}

void PinDialog::attach(const Form& form) {
    form_ = form;
    setFixedSize(size());
    setSecretEdits({form_.pin1, form_.newPin, form_.confirmation});
    for (QLineEdit* edit : {form_.pin1, form_.newPin, form_.confirmation})
        connect(edit, &QLineEdit::textChanged, this, [this] { updateOkButton(); });
    connect(form_.ok, &QPushButton::clicked, this, [this] { onOk(); });
    connect(form_.cancel, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

void PinDialog::initDialog() {
    const PinOperationRow& row = pinOperationRow(kind_);
    PinBounds bounds = readPinBounds(slotId());
    minimumPin_ = bounds.minimum;
    translateDialog(this, row.dialogId);
    form_.newPinLabel->setText(
        qtext(pinBoundsLabel(row.boundsLabelId, row.boundsLabelText, bounds)));
    for (QLineEdit* edit : {form_.pin1, form_.newPin, form_.confirmation})
        limitPinEdit(edit, bounds.maximum);
    updateOkButton();
}

void PinDialog::updateOkButton() {
    form_.ok->setEnabled(pinOperationOkEnabled(kind_, PinBounds{minimumPin_, 0},
                                               pinFromEdit(form_.pin1), pinFromEdit(form_.newPin),
                                               pinFromEdit(form_.confirmation)));
}

void PinDialog::onOk() {
    tokenTouched_ = true;
    PinOperationOutcome outcome;
    {
        Busy busy({form_.ok, form_.cancel});
        outcome =
            runPinOperation(kind_, slotId(), pinFromEdit(form_.pin1), pinFromEdit(form_.newPin));
    }
    if (outcome.succeeded) {
        succeeded_ = true;
        newPin_ = std::move(outcome.newPin);
    }
    finish(outcome.end);
}

namespace {

bool pinResult(bool succeeded, const SecurePin& newPin, SecurePin& out) {
    out.clear();
    if (succeeded)
        out = newPin;
    return succeeded;
}

} // namespace

CChangeUserPinDlg::CChangeUserPinDlg(CK_SLOT_ID slotId, QWidget* parent)
    : PinDialog(PinOperationKind::ChangeUserPin, slotId, parent),
      ui_(std::make_unique<Ui::CChangeUserPinDlg>()) {
    ui_->setupUi(this);
    attach({ui_->pinEdit, ui_->newPinLabel, ui_->newPinEdit, ui_->confirmEdit, ui_->okButton,
            ui_->cancelButton});
}

CChangeUserPinDlg::~CChangeUserPinDlg() = default;

bool CChangeUserPinDlg::result(SecurePin& newPinOut) const {
    return pinResult(succeeded(), newPin_, newPinOut);
}

CUnblockTokenDlg::CUnblockTokenDlg(CK_SLOT_ID slotId, QWidget* parent)
    : PinDialog(PinOperationKind::UnblockToken, slotId, parent),
      ui_(std::make_unique<Ui::CUnblockTokenDlg>()) {
    ui_->setupUi(this);
    attach({ui_->pinEdit, ui_->newPinLabel, ui_->newPinEdit, ui_->confirmEdit, ui_->okButton,
            ui_->cancelButton});
}

CUnblockTokenDlg::~CUnblockTokenDlg() = default;

bool CUnblockTokenDlg::result(SecurePin& newPinOut) const {
    return pinResult(succeeded(), newPin_, newPinOut);
}

CChangeSoPinDlg::CChangeSoPinDlg(CK_SLOT_ID slotId, QWidget* parent)
    : PinDialog(PinOperationKind::ChangeSoPin, slotId, parent),
      ui_(std::make_unique<Ui::CChangeSoPinDlg>()) {
    ui_->setupUi(this);
    attach({ui_->pinEdit, ui_->newPinLabel, ui_->newPinEdit, ui_->confirmEdit, ui_->okButton,
            ui_->cancelButton});
}

CChangeSoPinDlg::~CChangeSoPinDlg() = default;
