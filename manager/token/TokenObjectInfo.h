#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

// One object on a token as SlotEntry::loadObjects() found it. The certificate
// view keeps pointers to these records, so a list is only ever replaced as a
// whole by the next loadObjects().
struct TokenObjectInfo {
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    CK_OBJECT_CLASS objectClass = 0;
    // CKA_CONTAINER_NAME without its trailing NUL; empty when the object has none.
    std::string containerName;
    // Spare buffer for the certificate views; loadObjects() leaves it empty.
    std::vector<unsigned char> extra;
    // CKA_LABEL of CKO_DATA objects; empty for every other class.
    std::string label;
};
