#include "CertViewerSource.h"

CK_RV ReadCertificateForViewer(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                               CK_OBJECT_HANDLE handle, CertificateDetails& out) {
    Bytes value;
    CK_RV rv = ReadCertificateValueInOwnSession(functions, slotId, handle, value);
    if (rv != CKR_OK)
        return rv;
    return DescribeCertificate(value, out) ? CKR_OK : CKR_DATA_INVALID;
}
