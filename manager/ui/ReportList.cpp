#include "ReportList.h"

#include <QHeaderView>
#include <QTableWidget>

#include <algorithm>

namespace {

// The column widths the list was set up with: a column never gets narrower.
const char* const kMinimumWidths = "reportColumnWidths";

} // namespace

void setupReportList(QTableWidget* list, const std::vector<InfoColumn>& columns) {
    list->setColumnCount(static_cast<int>(columns.size()));
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setWordWrap(false);
    list->setTextElideMode(Qt::ElideRight);
    list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->verticalHeader()->hide();
    // Single-line rows: the height of one line of text plus a small margin.
    list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 4);
    list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* header = list->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    QList<int> widths;
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        widths.append(columns[i].width);
        auto* item = new QTableWidgetItem(qtext(columns[i].title));
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        list->setHorizontalHeaderItem(i, item);
        list->setColumnWidth(i, columns[i].width);
    }
    list->setProperty(kMinimumWidths, QVariant::fromValue(widths));
}

void fitReportColumns(QTableWidget* list) {
    const QList<int> widths = list->property(kMinimumWidths).value<QList<int>>();
    for (int column = 0; column < list->columnCount(); ++column) {
        list->resizeColumnToContents(column);
        list->setColumnWidth(column, std::max(list->columnWidth(column), widths.value(column)));
    }
}

void appendReportRow(QTableWidget* list, const std::vector<std::string>& cells) {
    int row = list->rowCount();
    list->insertRow(row);
    for (int column = 0; column < static_cast<int>(cells.size()); ++column) {
        auto* item = new QTableWidgetItem(qtext(cells[column]));
        item->setToolTip(item->text());
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        list->setItem(row, column, item);
    }
}

void fillDetailList(QTableWidget* list, const std::vector<InfoRow>& rows) {
    for (const InfoRow& row : rows)
        appendReportRow(list, {row.field, row.value});
    fitReportColumns(list);
}

void selectFirstRow(QTableWidget* list) {
    if (list->rowCount() == 0)
        return;
    if (list->currentRow() != 0 || !list->selectionModel()->isRowSelected(0, QModelIndex()))
        list->setCurrentCell(0, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}
