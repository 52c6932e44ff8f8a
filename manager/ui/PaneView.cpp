#include "PaneView.h"

#include "CertManagerFormView.h"
#include "ControlId.h"
#include "SlotInfoView.h"
#include "TokenInfoView.h"

#include <QStackedLayout>

CPaneView::CPaneView(QWidget* parent) : QWidget(parent) {
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    // Created hidden, in this order; the slot information view is shown.
    tokenInfo_ = new CTokenInfoFormView(this);
    certManager_ = new CCertManagerFormView(this);
    slotInfo_ = new CSlotInfoFormView(this);
    stack_->addWidget(slotInfo_);
    stack_->addWidget(tokenInfo_);
    stack_->addWidget(certManager_);
    for (int i = 0; i < 3; ++i)
        setControlId(view(i), ownControlId(i));
    setControlId(slotInfo_, kPaneControlId);
    stack_->setCurrentWidget(slotInfo_);
}

QWidget* CPaneView::view(int index) const {
    switch (index) {
    case kSlotInfo:
        return slotInfo_;
    case kTokenInfo:
        return tokenInfo_;
    case kCertManager:
        return certManager_;
    default:
        return nullptr;
    }
}

void CPaneView::showPane(int index) {
    QWidget* target = view(index);
    if (target == nullptr)
        return;
    QWidget* active = activeView();
    if (active != target)
        setControlId(active, ownControlId(current_));
    // The stack hides the active view and shows the target.
    stack_->setCurrentWidget(target);
    setControlId(target, kPaneControlId);
    current_ = index;
    stack_->activate();
}
