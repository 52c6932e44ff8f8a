#pragma once

// The manager's use of the shared certificate viewer: its texts come from the manager's
// translation, its certificate from a token object.

#include "CertViewerDlg.h"

#include <p11-kit/pkcs11.h>

// The viewer's texts through the manager's translate().
CertificateViewerTexts ManagerViewerTexts();

// Reads the certificate object's value in a session of its own and shows it
// in the viewer, modally, over `owner` (a certificate dialog runs it as its
// nested dialog). False, with nothing shown, when the value cannot be read
// or is no certificate.
bool ViewCertificateWithSystemViewer(CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle,
                                     QWidget* owner = nullptr);
