#pragma once

#include <QWidget>

namespace Ui {
class CSlotInfoFormView;
}

// The right-hand pane for the tree's root: one row per slot with its token
// status, empty slots included.
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void layoutControls();

    Ui::CSlotInfoFormView* ui_;
    int margin_ = 0; // the list's left offset in the template
    bool translated_ = false;
};
