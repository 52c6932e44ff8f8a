#pragma once

// The three dialogs that prove one PIN and set another: the user PIN change
// (130), the unblock by the security officer (137) and the SO PIN change
// (134). They differ only in their form and in the row of the PIN operation.

#include "AdminDialog.h"

#include <memory>

class QLabel;
enum class PinOperationKind;

namespace Ui {
class CChangeUserPinDlg;
class CUnblockTokenDlg;
class CChangeSoPinDlg;
} // namespace Ui

class PinDialog : public AdminDialog {
    Q_OBJECT
public:
    // OK was pressed, whatever followed: the token's login state changed.
    bool tokenTouched() const { return tokenTouched_; }
    bool succeeded() const { return succeeded_; }

protected:
    struct Form {
        QLineEdit* pin1;
        QLabel* newPinLabel;
        QLineEdit* newPin;
        QLineEdit* confirmation;
        QPushButton* ok;
        QPushButton* cancel;
    };

    PinDialog(PinOperationKind kind, CK_SLOT_ID slotId, QWidget* parent);
    // Called by the concrete dialog once its form is set up.
    void attach(const Form& form);
    void initDialog() override;

    // The new PIN after a success; empty otherwise.
    SecurePin newPin_;

private:
    void updateOkButton();
    void onOk();

    PinOperationKind kind_;
    Form form_{};
    CK_ULONG minimumPin_ = 0;
    bool succeeded_ = false;
    bool tokenTouched_ = false;
};

class CChangeUserPinDlg : public PinDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 130;
    CChangeUserPinDlg(CK_SLOT_ID slotId, QWidget* parent = nullptr);
    ~CChangeUserPinDlg() override;

    // True after a success, with the new user PIN; else false and empty.
    bool result(SecurePin& newPinOut) const;

private:
    std::unique_ptr<Ui::CChangeUserPinDlg> ui_;
};

class CUnblockTokenDlg : public PinDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 137;
    CUnblockTokenDlg(CK_SLOT_ID slotId, QWidget* parent = nullptr);
    ~CUnblockTokenDlg() override;

    bool result(SecurePin& newPinOut) const;

private:
    std::unique_ptr<Ui::CUnblockTokenDlg> ui_;
};

class CChangeSoPinDlg : public PinDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 134;
    CChangeSoPinDlg(CK_SLOT_ID slotId, QWidget* parent = nullptr);
    ~CChangeSoPinDlg() override;

private:
    std::unique_ptr<Ui::CChangeSoPinDlg> ui_;
};
