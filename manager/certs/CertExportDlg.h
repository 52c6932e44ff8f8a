#pragma once

#include "CertDialogSupport.h"

#include <p11-kit/pkcs11.h>

namespace Ui {
class CCertExportDlg;
}

// "Export Cert": writes one certificate object's value, unchanged DER, to a
// file chosen in a save dialog.
class CCertExportDlg : public CertDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 154;

    CCertExportDlg(CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle, QWidget* parent = nullptr);
    ~CCertExportDlg() override;

    // "...": the save dialog; the chosen path becomes the path.
    void browse();
    void setPath(const QString& path);
    QString path() const;

    // Writes the file and reports success; any failure leaves the dialog
    // open without a message and without a file.
    void accept() override;

private:
    Ui::CCertExportDlg* ui_;
    CK_SLOT_ID slotId_;
    CK_OBJECT_HANDLE handle_;
};
