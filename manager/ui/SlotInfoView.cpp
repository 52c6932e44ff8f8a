#include "SlotInfoView.h"

#include "DialogTranslation.h"
#include "InfoRows.h"
#include "ReportList.h"
#include "SlotManager.h"
#include "ui_SlotInfoView.h"

#include <QKeyEvent>

namespace {
constexpr int kTemplateId = 200;
}

CSlotInfoFormView::CSlotInfoFormView(QWidget* parent)
    : QWidget(parent), ui_(new Ui::CSlotInfoFormView) {
    ui_->setupUi(this);
    margin_ = ui_->slotList->x();
    setupReportList(ui_->slotList, slotListColumns());
    // Tab leaves the view instead of walking the cells.
    ui_->slotList->setTabKeyNavigation(false);
    ui_->slotList->installEventFilter(this);
    installEventFilter(this);
}

CSlotInfoFormView::~CSlotInfoFormView() {
    delete ui_;
}

void CSlotInfoFormView::refresh() {
    QTableWidget* list = ui_->slotList;
    list->setRowCount(0);
    for (const SlotListRow& row : slotListRows(SlotManager::instance()))
        appendReportRow(list, {row.description, row.status, row.manufacturer});
    fitReportColumns(list);
    selectFirstRow(list);
}

bool CSlotInfoFormView::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == ui_->slotList || watched == this) && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Tab) {
        emit tabPressed();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CSlotInfoFormView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutControls();
}

void CSlotInfoFormView::showEvent(QShowEvent* event) {
    if (!translated_) {
        translated_ = true;
        translateDialog(this, kTemplateId);
    }
    QWidget::showEvent(event);
    layoutControls();
}

void CSlotInfoFormView::layoutControls() {
    QTableWidget* list = ui_->slotList;
    int top = list->y();
    list->setGeometry(margin_, top, std::max(0, width() - 2 * margin_),
                      std::max(0, height() - margin_ - top));
}
