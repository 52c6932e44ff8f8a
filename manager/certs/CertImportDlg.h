#pragma once

#include "CertDialogSupport.h"
#include "ImportFlow.h"

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <functional>
#include <vector>

namespace Ui {
class CCertImportDlg;
}

// "Import Certificate File": a PKCS#12 file with its password, or a .cer or
// .p7b file, into the slot's token. The import itself is RunCertificateImport;
// this dialog collects the path and password, asks the duplicate question and
// shows the one message of the outcome.
class CCertImportDlg : public CertDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 146;

    CCertImportDlg(CK_SLOT_ID slotId, std::vector<Bytes> knownCertificates,
                   QWidget* parent = nullptr);
    ~CCertImportDlg() override;

    // Set only when an import succeeded.
    bool imported() const { return imported_; }
    CK_SLOT_ID slotId() const { return slotId_; }

    // "...": the open dialog; a chosen file becomes the path.
    void browse();
    // Sets the path as a choice in the open dialog does.
    void setPath(const QString& path);
    QString path() const;
    bool passwordShown() const;

    // The pause before the outcome is shown; 1000 ms unless replaced (tests).
    using Wait = std::function<void(std::chrono::milliseconds)>;
    void setWait(Wait wait) { wait_ = std::move(wait); }

    void accept() override;
    void done(int result) override;

private:
    void applyOkRule();
    void applyPasswordVisibility();

    Ui::CCertImportDlg* ui_;
    CK_SLOT_ID slotId_;
    std::vector<Bytes> knownCertificates_;
    bool imported_ = false;
    bool closedEarly_ = false;
    Wait wait_;
};

// The dialog's real pause: an event loop that runs for the given time.
void waitProcessingEvents(std::chrono::milliseconds duration);
