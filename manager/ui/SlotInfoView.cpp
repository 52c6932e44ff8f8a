#include "SlotInfoView.h"

#include "ui_SlotInfoView.h"

CSlotInfoFormView::CSlotInfoFormView(QWidget* parent)
    : QWidget(parent), ui_(new Ui::CSlotInfoFormView) {
    ui_->setupUi(this);
}

CSlotInfoFormView::~CSlotInfoFormView() {
    delete ui_;
}

void CSlotInfoFormView::refresh() {}
