#pragma once

#include <QWidget>

class CCertManagerFormView;
class CSlotInfoFormView;
class CTokenInfoFormView;
class QStackedLayout;

// The right-hand pane: three views of which one is shown at a time.
class CPaneView : public QWidget {
    Q_OBJECT
public:
    enum Index { kSlotInfo = 0, kTokenInfo = 1, kCertManager = 2 };
    // The control id the shown view carries; the others carry their own.
    static constexpr int kPaneControlId = 0xE900;
    static int ownControlId(int index) { return kPaneControlId + 1 + index; }

    explicit CPaneView(QWidget* parent = nullptr);

    // Index 0, 1 or 2; anything else is ignored.
    void showPane(int index);
    int currentIndex() const { return current_; }
    QWidget* activeView() const { return view(current_); }
    QWidget* view(int index) const;

    CSlotInfoFormView* slotInfoView() const { return slotInfo_; }
    CTokenInfoFormView* tokenInfoView() const { return tokenInfo_; }
    CCertManagerFormView* certManagerView() const { return certManager_; }

private:
    CTokenInfoFormView* tokenInfo_;
    CCertManagerFormView* certManager_;
    CSlotInfoFormView* slotInfo_;
    QStackedLayout* stack_;
    int current_ = kSlotInfo;
};
