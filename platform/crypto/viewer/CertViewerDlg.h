#pragma once

#include "CertDetails.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QPlainTextEdit;
class QTabWidget;
class QTreeWidget;

// The viewer's texts by id and English default (the manager passes its translate()). An
// empty function shows the defaults.
using CertificateViewerTexts = std::function<std::string(int id, const char* defaultText)>;

// "View certificate": a certificate's subject, issuer, validity, serial
// number, key, fingerprints and extensions. The General tab shows the main
// fields; the Details tab lists every field and extension with its full text
// below. All texts can be selected and copied.
class CCertViewerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCertViewerDlg(const CertificateDetails& details, QWidget* parent = nullptr,
                            const CertificateViewerTexts& texts = {});

    // The viewer of DER bytes; null when they are not a certificate.
    static std::unique_ptr<CCertViewerDlg> forCertificate(const std::vector<unsigned char>& der,
                                                          QWidget* parent = nullptr,
                                                          const CertificateViewerTexts& texts = {});

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
