#pragma once

#include "AdminDialog.h"

#include <memory>

namespace Ui {
class CChangeTokenNameDlg;
}

// A new label for the token in one slot (dialog 135). A refused name keeps
// the dialog open for correction.
class CChangeTokenNameDlg : public AdminDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 135;

    CChangeTokenNameDlg(CK_SLOT_ID slotId, QWidget* parent = nullptr);
    ~CChangeTokenNameDlg() override;

    // `nameOut` always gets the new-name field; true exactly when the token
    // is there and the new name differs from the old one.
    bool result(std::string& nameOut) const;

    // Cancel, Escape and closing the window: reports no change.
    void reject() override;

protected:
    void initDialog() override;

private:
    void updateOkButton();
    void onOk();

    std::unique_ptr<Ui::CChangeTokenNameDlg> ui_;
    std::string oldName_;
    bool renameAvailable_ = true;
};
