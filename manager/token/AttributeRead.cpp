#include "AttributeRead.h"

#include <new>

CK_RV readAttributeLength(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                          CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG& length) {
    length = 0;
    if (functions == nullptr)
        return CKR_GENERAL_ERROR;
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK)
        return rv;
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return CKR_ATTRIBUTE_TYPE_INVALID;
    length = attribute.ulValueLen;
    return CKR_OK;
}

CK_RV readAttribute(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& value) {
    value.clear();
    CK_ULONG length = 0;
    CK_RV rv = readAttributeLength(functions, session, object, type, length);
    if (rv != CKR_OK)
        return rv;
    if (length > kMaxAttributeLength)
        return CKR_HOST_MEMORY;
    try {
        value.assign(length + 1, 0);
    } catch (const std::bad_alloc&) {
        value.clear();
        return CKR_HOST_MEMORY;
    }
    CK_ATTRIBUTE attribute{type, value.data(), length};
    rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv == CKR_OK && (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
                         attribute.ulValueLen >= value.size()))
        rv = CKR_GENERAL_ERROR;
    if (rv != CKR_OK) {
        value.clear();
        return rv;
    }
    value.resize(attribute.ulValueLen);
    return CKR_OK;
}
