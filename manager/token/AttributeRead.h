#pragma once

#include <p11-kit/pkcs11.h>

#include <vector>

// The largest attribute value the manager reads: far beyond any certificate
// or label, and small enough that a length a broken module reports cannot
// exhaust memory.
inline constexpr CK_ULONG kMaxAttributeLength = 16 * 1024 * 1024;

// The first of the two calls: the value's length as the module reports it.
// CKR_GENERAL_ERROR without a module; a length reported as unavailable counts
// as CKR_ATTRIBUTE_TYPE_INVALID.
CK_RV readAttributeLength(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                          CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG& length);

// Two-call read of one attribute into `value`: the length, then the bytes.
// A length reported as unavailable counts as CKR_ATTRIBUTE_TYPE_INVALID, one
// above kMaxAttributeLength as CKR_HOST_MEMORY. The second call is offered
// exactly the reported length: a value that grew in between gets the module's
// CKR_BUFFER_TOO_SMALL, and a module that claims to have written more than it
// was offered gets CKR_GENERAL_ERROR. On any failure `value` is left empty.
CK_RV readAttribute(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& value);
