#pragma once

// The manager's source of the certificate viewer's details: a certificate object on the token.

#include "CertCommon.h"
#include "CertDetails.h"

// The certificate object's value read for the viewer, in a session of its own.
CK_RV ReadCertificateForViewer(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                               CK_OBJECT_HANDLE handle, CertificateDetails& out);
