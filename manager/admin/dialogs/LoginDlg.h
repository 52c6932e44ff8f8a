#pragma once

#include "AdminDialog.h"

#include <memory>

namespace Ui {
class CLoginDlg;
}

// The user login of one slot (dialog 138). Ends with IDOK after a login and
// also when the token was pulled out, so callers ask isLoggedIn().
class CLoginDlg : public AdminDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 138;

    CLoginDlg(CK_SLOT_ID slotId, QWidget* parent = nullptr);
    ~CLoginDlg() override;

    bool isLoggedIn() const { return loggedIn_; }

protected:
    void initDialog() override;

private:
    void updateLoginButton();
    void onLogin();

    std::unique_ptr<Ui::CLoginDlg> ui_;
    CK_ULONG minimumPin_ = 0;
    bool loggedIn_ = false;
};
