#pragma once

#include <p11-kit/pkcs11.h>

#include <QRect>
#include <QWidget>

#include <functional>
#include <vector>

namespace Ui {
class CTokenInfoFormView;
}
class QPushButton;

// The right-hand pane for a slot item: slot and token details as field/value
// lists, and the six buttons that start the token operations.
class CTokenInfoFormView : public QWidget {
    Q_OBJECT
public:
    explicit CTokenInfoFormView(QWidget* parent = nullptr);
    ~CTokenInfoFormView() override;

    // Shows the slot; the token controls appear only for a present,
    // recognized token. A slot without entry leaves the view as it is.
    void showSlot(CK_SLOT_ID slotId);
    void refreshTokenDetails(CK_SLOT_ID slotId);
    // Login is enabled exactly when `enabled`; the default-button look goes
    // to Login then, else to Change User PIN.
    void setLoginState(bool enabled);
    // Writes row 0 column 1 of the token list, then emits labelSet(text).
    void setLabel(const QString& text);
    CK_SLOT_ID slotId() const { return slotId_; }
    bool loginEnabled() const { return loginEnabled_; }
    bool tokenUsable() const { return tokenUsable_; }
    // Asked on Tab from the slot list: true when the tree's selected item has
    // children.
    void setSelectedItemHasChildren(std::function<bool()> query);

signals:
    // 3 Login, 4 rename, 5 change user PIN, 6 init, 7 unblock, 8 change SO PIN.
    void operationRequested(int operation);
    // The window renames the selected tree item.
    void labelSet(const QString& text);
    // The Tab chain ends in the tree.
    void tabToTree();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct Placed {
        QWidget* widget;
        QRect geometry; // as the template lays it out
    };

    bool handleTab(QObject* watched);
    void focusButton(QPushButton* button);
    void setDefaultButton(QPushButton* button);
    void applyTokenUsable();
    // The buttons as wide as their (translated) texts need.
    void fitButtonBlock();
    void layoutControls();

    Ui::CTokenInfoFormView* ui_;
    std::vector<QPushButton*> buttons_;
    // The captions 303 and 304 and the six buttons, moved together.
    std::vector<Placed> buttonBlock_;
    QRect slotListTemplate_;
    QRect tokenCaptionTemplate_;
    QRect tokenListTemplate_;
    QRect soPinButtonTemplate_;

    CK_SLOT_ID slotId_ = 0;
    bool tokenUsable_ = false;
    bool loginEnabled_ = false;
    bool translated_ = false;
    std::function<bool()> selectedItemHasChildren_;
};
