#include "SystemCertViewer.h"

#include "CertDialogSupport.h"
#include "CertViewerSource.h"
#include "TokenLibrary.h"
#include "Translator.h"

#include <QApplication>

CertificateViewerTexts ManagerViewerTexts() {
    return [](int id, const char* defaultText) { return translate(id, defaultText); };
}

bool ViewCertificateWithSystemViewer(CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle, QWidget* owner) {
    CertificateDetails details;
    CK_FUNCTION_LIST* functions = TokenLibrary::instance().functions();
    if (functions == nullptr ||
        ReadCertificateForViewer(functions, slotId, handle, details) != CKR_OK)
        return false;
    QWidget* parent = owner != nullptr ? owner : QApplication::activeWindow();
    CCertViewerDlg viewer(details, parent, ManagerViewerTexts());
    if (auto* certDialog = qobject_cast<CertDialog*>(owner))
        certDialog->runNested(viewer);
    else
        viewer.exec();
    return true;
}
