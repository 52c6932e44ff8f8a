#include "ObjectInfoDlg.h"

#include "SystemCertViewer.h"
#include "TokenLibrary.h"

#include "ui_ObjectInfoDlg.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QTableWidget>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kColumnWidth = 200;

QFont dumpFont() {
    // A fixed pitch keeps the dump's columns aligned; 12 pixels high. The
    // platform's fixed font is monospaced on every font set, where a family
    // name such as "Courier New" may be replaced by a proportional face.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setFixedPitch(true);
    font.setPixelSize(12);
    return font;
}

} // namespace

QString dumpForEdit(const InspectorRow& row) {
    QString text = qtext(InspectorRowDump(row));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

CObjectInfoDlg::CObjectInfoDlg(CK_SLOT_ID slotId, const TokenObjectInfo* record, QWidget* parent)
    : CertDialog(kTemplateId, parent), ui_(new Ui::CObjectInfoDlg), slotId_(slotId),
      record_(record) {
    ui_->setupUi(this);
    setFixedSize(size());
    QTableWidget* list = ui_->attributeList;
    list->setColumnCount(2);
    list->verticalHeader()->setVisible(false);
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // A long value (a distinguished name) makes the list scroll rather than
    // being cut.
    list->horizontalHeader()->setStretchLastSection(false);
    list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 6);
    ui_->valueEdit->setFont(dumpFont());
    ui_->viewerButton->setVisible(record_ != nullptr && record_->objectClass == CKO_CERTIFICATE);

    connect(list, &QTableWidget::itemSelectionChanged, this, [this] { onRowSelected(); });
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { done(kResultOk); });
    connect(ui_->viewerButton, &QPushButton::clicked, this, [this] { showViewer(); });
}

CObjectInfoDlg::~CObjectInfoDlg() {
    delete ui_;
}

QTableWidget* CObjectInfoDlg::attributeList() const {
    return ui_->attributeList;
}
QPlainTextEdit* CObjectInfoDlg::valueEdit() const {
    return ui_->valueEdit;
}
QPushButton* CObjectInfoDlg::viewerButton() const {
    return ui_->viewerButton;
}

void CObjectInfoDlg::initDialog() {
    QTableWidget* list = ui_->attributeList;
    list->setRowCount(0);
    list->setHorizontalHeaderLabels({qtext(InspectorTypeColumn()), qtext(InspectorValueColumn())});
    list->setColumnWidth(0, kColumnWidth);
    list->setColumnWidth(1, kColumnWidth);
    if (record_ == nullptr)
        return;
    setWindowTitle(qtext(InspectorTitle(record_->objectClass)));
    CK_FUNCTION_LIST* functions = TokenLibrary::instance().functions();
    if (functions != nullptr)
        rows_ = ReadInspectorRows(functions, slotId_, *record_);
    fillList();
}

void CObjectInfoDlg::fillList() {
    QTableWidget* list = ui_->attributeList;
    list->setRowCount(static_cast<int>(rows_.size()));
    int index = 0;
    for (const InspectorRow& row : rows_) {
        auto* name = new QTableWidgetItem(qtext(row.name));
        char type[32];
        std::snprintf(type, sizeof type, "0x%08lX", static_cast<unsigned long>(row.type));
        name->setToolTip(qtext(row.name) + QStringLiteral(" (") + QString::fromLatin1(type) +
                         QLatin1Char(')'));
        list->setItem(index, 0, name);
        list->setItem(index, 1, new QTableWidgetItem(qtext(row.value)));
        ++index;
    }
    // 200 pixels, or as wide as the longest name needs (translated names
    // carry the constant's name as well).
    list->resizeColumnToContents(0);
    list->setColumnWidth(0, std::max(kColumnWidth, list->columnWidth(0) + 4));
    // The value column fills the rest of the list, or is as wide as its
    // longest value.
    list->resizeColumnToContents(1);
    const int rest = list->viewport()->width() - list->columnWidth(0);
    list->setColumnWidth(1, std::max({kColumnWidth, rest, list->columnWidth(1) + 4}));
}

void CObjectInfoDlg::onRowSelected() {
    QList<QTableWidgetItem*> selected = ui_->attributeList->selectedItems();
    int row = selected.isEmpty() ? -1 : selected.first()->row();
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        ui_->valueEdit->clear();
        return;
    }
    ui_->valueEdit->setPlainText(dumpForEdit(rows_[static_cast<size_t>(row)]));
}

void CObjectInfoDlg::showViewer() {
    if (record_ != nullptr)
        ViewCertificateWithSystemViewer(slotId_, record_->handle, this);
}
