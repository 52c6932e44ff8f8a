#include "TokenInfoView.h"

#include "ui_TokenInfoView.h"

CTokenInfoFormView::CTokenInfoFormView(QWidget* parent)
    : QWidget(parent), ui_(new Ui::CTokenInfoFormView) {
    ui_->setupUi(this);
}

CTokenInfoFormView::~CTokenInfoFormView() {
    delete ui_;
}

void CTokenInfoFormView::showSlot(CK_SLOT_ID slotId) {
    slotId_ = slotId;
}
void CTokenInfoFormView::refreshTokenDetails(CK_SLOT_ID) {}
void CTokenInfoFormView::setLoginState(bool enabled) {
    loginEnabled_ = enabled;
}
void CTokenInfoFormView::setLabel(const QString& text) {
    emit labelSet(text);
}
CK_SLOT_ID CTokenInfoFormView::slotId() const {
    return slotId_;
}
bool CTokenInfoFormView::loginEnabled() const {
    return loginEnabled_;
}
void CTokenInfoFormView::setSelectedItemHasChildren(std::function<bool()> query) {
    selectedItemHasChildren_ = std::move(query);
}
