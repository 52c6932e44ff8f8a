#pragma once

#include "CertDetails.h"

#include <p11-kit/pkcs11.h>

#include <QDialog>

class QPlainTextEdit;
class QTabWidget;
class QTreeWidget;

// "View certificate": a certificate's subject, issuer, validity, serial
// number, key, fingerprints and extensions. The General tab shows the main
// fields; the Details tab lists every field and extension with its full text
// below. All texts can be selected and copied.
class CCertViewerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCertViewerDlg(const CertificateDetails& details, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    QTreeWidget* fieldList() const { return fields_; }
    QPlainTextEdit* fieldText() const { return fieldText_; }
    // Every text the General tab shows, in order (for tests and screenshots).
    QStringList generalTexts() const;

private:
    QTabWidget* tabs_;
    QTreeWidget* fields_;
    QPlainTextEdit* fieldText_;
};

// Reads the certificate object's value in a session of its own and shows it
// in the viewer, modally, over `owner` (a certificate dialog runs it as its
// nested dialog). False, with nothing shown, when the value cannot be read
// or is no certificate.
bool ViewCertificateWithSystemViewer(CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle,
                                     QWidget* owner = nullptr);
