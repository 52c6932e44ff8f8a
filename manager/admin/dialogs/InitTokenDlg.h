#pragma once

#include "AdminDialog.h"
#include "ModuleInitToken.h"

#include <QLabel>

#include <memory>
#include <optional>

namespace Ui {
class CInitTokenDlg;
}

// Re-initialization of the token in one slot (dialog 136): new SO and user
// PIN, name, PIN retry limits and memory sizes.
class CInitTokenDlg : public AdminDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 136;
    // The current SO PIN's edit, which the resource does not have.
    static constexpr int kCurrentSoPinControlId = 1111;

    CInitTokenDlg(CK_SLOT_ID slotId, QWidget* parent = nullptr);
    ~CInitTokenDlg() override;

    // True after a success, with the new name and user PIN; else false and
    // both empty.
    bool result(std::string& nameOut, SecurePin& userPinOut) const;
    bool succeeded() const { return succeeded_; }
    bool tokenTouched() const { return tokenTouched_; }
    // Whether the slot list was read again, and the slot that holds the token.
    bool slotsReread() const { return slotsReread_; }
    CK_SLOT_ID tokenSlot() const { return tokenSlot_; }

protected:
    void initDialog() override;

private:
    struct NumberField {
        QLineEdit* edit;
        unsigned maximum;
    };

    void updateOkButton();
    void onOk();
    // The field's value when it holds digits within its range.
    static std::optional<unsigned> fieldValue(const NumberField& field);
    // The standard message of a refused numeric entry, after the key press
    // that caused it has been handled.
    void refuse(const NumberField& field);
    // Shows the standard message for the first field that does not hold a
    // valid number and gives it the focus; true when all are valid.
    bool validateFields();

    // A module without the vendor table: the standard calls, which need the
    // current SO PIN, may set a new one, and cannot set counts or sizes.
    void enterModuleMode(const PinBounds& bounds);
    ModuleInitInput moduleInput() const;
    // An initialized token under the vendor entry: its current SO PIN is
    // asked too, in the free band, and checked before the erase.
    void addCurrentSoPin(const PinBounds& bounds);

    std::unique_ptr<Ui::CInitTokenDlg> ui_;
    bool moduleMode_ = false;
    QLabel* newSoPinLabel_ = nullptr;
    QLineEdit* newSoPinEdit_ = nullptr;
    QLabel* moduleNote_ = nullptr;
    QLabel* currentSoPinLabel_ = nullptr;
    QLineEdit* currentSoPinEdit_ = nullptr;
    std::vector<NumberField> numberFields_;
    CK_ULONG minimumPin_ = 0;
    bool succeeded_ = false;
    bool tokenTouched_ = false;
    bool slotsReread_ = false;
    CK_SLOT_ID tokenSlot_ = 0;
    bool loading_ = false;
    std::string newName_;
    SecurePin newPin_;
};

// The standard text of a numeric field's validation.
std::string integerRangeMessage(unsigned minimum, unsigned maximum);
