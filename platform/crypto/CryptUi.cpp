// cryptui's certificate dialog: the shared certificate viewer with its English texts.
#include <cryptuiapi.h>

#include "AnsiText.h"
#include "CertificateDialog.h"
#include "platform/win/UserWait.h"
#include "viewer/CertViewerDlg.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstddef>
#include <vector>

namespace {

// The structure's size as a 32-bit caller fills it in: eighteen 4-byte fields.
constexpr DWORD kSize32 = 72;
constexpr DWORD kSize64 = sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTA);

int execDialog(QDialog& dialog) {
    return dialog.exec();
}

std::atomic<crypto::CertificateDialogPresenter> presenter{&execDialog};

// True when the field lies wholly inside the caller's dwSize. A caller written for 32-bit
// Windows passes 72 with this build's structure: the fields this dialog needs (parent, title,
// certificate) lie inside those bytes, the store list and pages after them are not read.
bool within(DWORD size, std::size_t offset, std::size_t length) {
    return offset + length <= size;
}

// hwndParent names one of this application's widgets, or nothing usable. The value is only
// compared, never dereferenced, until it is known to be a live widget.
QWidget* parentWidget(HWND window) {
    if (window == nullptr)
        return nullptr;
    for (QWidget* widget : QApplication::allWidgets())
        if (static_cast<void*>(widget) == window)
            return widget;
    return nullptr;
}

} // namespace

namespace crypto {

CertificateDialogPresenter setCertificateDialogPresenter(CertificateDialogPresenter replacement) {
    return presenter.exchange(replacement != nullptr ? replacement : &execDialog);
}

} // namespace crypto

extern "C" BOOL WINAPI CryptUIDlgViewCertificateA(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo,
                                                  BOOL* pfPropertiesChanged) {
    try {
        if (pfPropertiesChanged != nullptr)
            *pfPropertiesChanged = FALSE;
        if (pCertViewInfo == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const DWORD size = pCertViewInfo->dwSize;
        if (size != kSize64 && size != kSize32) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::size_t contextOffset = offsetof(CRYPTUI_VIEWCERTIFICATE_STRUCTA, pCertContext);
        PCCERT_CONTEXT context = within(size, contextOffset, sizeof(PCCERT_CONTEXT))
                                     ? pCertViewInfo->pCertContext
                                     : nullptr;
        if (context == nullptr || context->pbCertEncoded == nullptr ||
            context->cbCertEncoded == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (QApplication::instance() == nullptr || qobject_cast<QApplication*>(qApp) == nullptr) {
            // Widgets need the process's application object; a host without one gets no dialog.
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        const std::vector<unsigned char> der(context->pbCertEncoded,
                                             context->pbCertEncoded + context->cbCertEncoded);
        std::unique_ptr<CCertViewerDlg> viewer =
            CCertViewerDlg::forCertificate(der, parentWidget(pCertViewInfo->hwndParent));
        if (!viewer) {
            SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
            return FALSE;
        }
        const std::size_t titleOffset = offsetof(CRYPTUI_VIEWCERTIFICATE_STRUCTA, szTitle);
        if (within(size, titleOffset, sizeof(LPCSTR)) && pCertViewInfo->szTitle != nullptr &&
            *pCertViewInfo->szTitle != '\0')
            viewer->setWindowTitle(
                QString::fromStdU16String(crypto::ansiToWide(pCertViewInfo->szTitle)));
        // A wait for the user: announced while the viewer is open, and closed for the user who
        // has not closed it within the limit. The timer goes with the viewer.
        CCertViewerDlg* dialog = viewer.get();
        QTimer::singleShot(korvanUserWaitLimitSeconds() * 1000, dialog, [dialog] { dialog->reject(); });
        const KorvanUserWait wait;
        presenter.load()(*viewer);
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
