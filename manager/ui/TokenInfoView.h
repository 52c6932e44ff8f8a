#pragma once

#include <p11-kit/pkcs11.h>

#include <QWidget>

#include <functional>

namespace Ui {
class CTokenInfoFormView;
}

// The right-hand pane for a slot item: slot and token details and the
// administration buttons.
class CTokenInfoFormView : public QWidget {
    Q_OBJECT
public:
    explicit CTokenInfoFormView(QWidget* parent = nullptr);
    ~CTokenInfoFormView() override;

    void showSlot(CK_SLOT_ID slotId);
    void refreshTokenDetails(CK_SLOT_ID slotId);
    void setLoginState(bool enabled);
    // Writes row 0 column 1 of the token list, then emits labelSet(text).
    void setLabel(const QString& text);
    CK_SLOT_ID slotId() const;
    bool loginEnabled() const;
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

private:
    Ui::CTokenInfoFormView* ui_;
    CK_SLOT_ID slotId_ = 0;
    bool loginEnabled_ = false;
    std::function<bool()> selectedItemHasChildren_;
};
