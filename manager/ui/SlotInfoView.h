#pragma once

#include <QWidget>

namespace Ui {
class CSlotInfoFormView;
}
class QTableWidget;

// The right-hand pane for the tree's root: one row per slot.
class CSlotInfoFormView : public QWidget {
    Q_OBJECT
public:
    explicit CSlotInfoFormView(QWidget* parent = nullptr);
    ~CSlotInfoFormView() override;

    // Rebuilds the list from all slots and selects row 0.
    void refresh();

signals:
    // Tab in this view: the window moves focus to the tree.
    void tabPressed();

private:
    Ui::CSlotInfoFormView* ui_;
};
