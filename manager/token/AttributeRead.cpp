#include "AttributeRead.h"

#include <new>

CK_RV readAttribute(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& value) {
    value.clear();
    if (functions == nullptr)
        return CKR_GENERAL_ERROR;
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK)
        return rv;
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return CKR_ATTRIBUTE_TYPE_INVALID;
    if (attribute.ulValueLen > kMaxAttributeLength)
        return CKR_HOST_MEMORY;
    try {
        value.assign(attribute.ulValueLen + 1, 0);
    } catch (const std::bad_alloc&) {
        value.clear();
        return CKR_HOST_MEMORY;
    }
    attribute.pValue = value.data();
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
