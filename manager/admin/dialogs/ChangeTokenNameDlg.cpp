#include "RenameToken.h"

#include "ChangeTokenNameDlg.h"
#include "DialogTranslation.h"
#include "QtText.h"
#include "TokenLibrary.h"
#include "Translator.h"
#include "ui_ChangeTokenNameDlg.h"

CChangeTokenNameDlg::CChangeTokenNameDlg(CK_SLOT_ID slotId, QWidget* parent)
    : AdminDialog(slotId, parent), ui_(std::make_unique<Ui::CChangeTokenNameDlg>()) {
    ui_->setupUi(this);
    setFixedSize(size());
    ui_->nameEdit->setMaxLength(32);
    // The token's label is shown as it is, never rendered as markup.
    ui_->oldNameLabel->setTextFormat(Qt::PlainText);
    connect(ui_->nameEdit, &QLineEdit::textChanged, this, [this] { updateOkButton(); });
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { onOk(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { reject(); });
}

CChangeTokenNameDlg::~CChangeTokenNameDlg() = default;

void CChangeTokenNameDlg::initDialog() {
    translateDialog(this, kDialogId);
    if (SlotManager::instance().findSlot(slotId()) != nullptr) {
        oldName_ = currentTokenLabel(slotId());
        ui_->oldNameLabel->setText(qtext(oldName_));
        ui_->nameEdit->setText(qtext(oldName_));
    }
    // Only the vendor's table can write a label; another module's token
    // keeps the name it was initialized with.
    VendorAuxFunctionList* aux = TokenLibrary::instance().auxFunctions();
    renameAvailable_ = aux != nullptr && aux->E_SetTokenLabel != nullptr;
    if (!renameAvailable_) {
        ui_->nameEdit->setEnabled(false);
        ui_->newNameCaption->setTextFormat(Qt::PlainText);
        ui_->newNameCaption->setWordWrap(true);
        ui_->newNameCaption->setText(qtext(translate(
            862, "This token's module cannot rename it; the name is set when it is initialized.")));
    }
    updateOkButton();
}

void CChangeTokenNameDlg::updateOkButton() {
    ui_->okButton->setEnabled(renameAvailable_ && renameOkEnabled(utf8FromEdit(ui_->nameEdit)));
}

void CChangeTokenNameDlg::onOk() {
    RenameOutcome outcome;
    {
        Busy busy({ui_->okButton, ui_->cancelButton});
        outcome = runRenameToken(slotId(), utf8FromEdit(ui_->nameEdit));
    }
    // Busy enabled OK unconditionally; a refused name keeps the rule.
    updateOkButton();
    finish(outcome.end);
}

void CChangeTokenNameDlg::reject() {
    oldName_ = utf8FromEdit(ui_->nameEdit);
    done(kResultCancel);
}

bool CChangeTokenNameDlg::result(std::string& nameOut) const {
    nameOut = utf8FromEdit(ui_->nameEdit);
    return renameResult(slotId(), oldName_, nameOut);
}
