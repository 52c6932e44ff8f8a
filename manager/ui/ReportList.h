#pragma once

// The report-style lists of the information views: grid lines, full-row
// single selection, left-aligned columns as wide as their texts, a tip with the full
// text of every cell.

#include "InfoRows.h"
#include "QtText.h"

#include <QString>

#include <string>
#include <vector>

class QTableWidget;

void setupReportList(QTableWidget* list, const std::vector<InfoColumn>& columns);
// Appends a row: the first cell, then the others in column order.
void appendReportRow(QTableWidget* list, const std::vector<std::string>& cells);
void fillDetailList(QTableWidget* list, const std::vector<InfoRow>& rows);
// Every column as wide as its texts, and never narrower than it was set up:
// no field name is cut, a long value scrolls.
void fitReportColumns(QTableWidget* list);
// Row 0 becomes the selected and current row, as a list shows it when it
// has the focus; nothing happens for an empty list.
void selectFirstRow(QTableWidget* list);
