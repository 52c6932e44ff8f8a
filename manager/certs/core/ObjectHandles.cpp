#include "ObjectHandles.h"

#include <openssl/evp.h>

#include <array>

namespace {

// Attributes fixed when an object is made. CKA_LABEL may be renamed and is
// left out except where a class has nothing else to tell two objects apart.
std::vector<CK_ATTRIBUTE_TYPE> hashedAttributes(CK_OBJECT_CLASS objectClass, bool isPrivate) {
    std::vector<CK_ATTRIBUTE_TYPE> types{CKA_ID, CKA_CONTAINER_NAME};
    switch (objectClass) {
    case CKO_CERTIFICATE:
        types.insert(types.end(), {CKA_CERTIFICATE_TYPE, CKA_VALUE});
        break;
    case CKO_PUBLIC_KEY:
        types.insert(types.end(),
                     {CKA_KEY_TYPE, CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_EC_PARAMS, CKA_EC_POINT,
                      CKA_VALUE});
        break;
    case CKO_PRIVATE_KEY:
        types.insert(types.end(), {CKA_KEY_TYPE, CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_EC_PARAMS});
        break;
    case CKO_DATA:
        types.insert(types.end(), {CKA_LABEL, CKA_APPLICATION, CKA_OBJECT_ID});
        if (!isPrivate)
            types.push_back(CKA_VALUE);
        break;
    default:
        types.insert(types.end(), {CKA_KEY_TYPE, CKA_LABEL});
        break;
    }
    return types;
}

void appendNumber(Bytes& out, unsigned long long value) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

std::optional<std::string> ObjectHandleOf(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                          const TokenObjectInfo& record) {
    if (functions == nullptr)
        return std::nullopt;
    CK_BBOOL isPrivate = CK_TRUE; // unknown counts as private: the value stays out
    CK_ATTRIBUTE privateAttribute{CKA_PRIVATE, &isPrivate, sizeof isPrivate};
    if (functions->C_GetAttributeValue(session, record.handle, &privateAttribute, 1) != CKR_OK ||
        privateAttribute.ulValueLen != sizeof isPrivate)
        isPrivate = CK_TRUE;

    // Each attribute as type, then a presence mark and its length and bytes,
    // so that no two different sets of values encode alike.
    Bytes encoded;
    appendNumber(encoded, record.objectClass);
    Bytes value;
    for (CK_ATTRIBUTE_TYPE type : hashedAttributes(record.objectClass, isPrivate != CK_FALSE)) {
        CK_RV rv = ReadAttributeValue(functions, session, record.handle, type, value);
        appendNumber(encoded, type);
        if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) {
            encoded.push_back(0);
            continue;
        }
        if (rv != CKR_OK)
            return std::nullopt;
        encoded.push_back(1);
        appendNumber(encoded, value.size());
        encoded.insert(encoded.end(), value.begin(), value.end());
    }

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(encoded.data(), encoded.size(), digest.data(), &digestLength, EVP_sha256(),
                   nullptr) != 1 ||
        digestLength * 2 < kObjectHandleLength)
        return std::nullopt;
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; text.size() < kObjectHandleLength; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 0x0F]);
    }
    return text;
}

std::optional<std::string> ParseObjectHandle(const std::string& text) {
    if (text.size() != kObjectHandleLength)
        return std::nullopt;
    std::string handle;
    for (char c : text) {
        if (!isHexDigit(c))
            return std::nullopt;
        handle.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return handle;
}

std::vector<const TokenObjectInfo*> FindObjectsByHandle(CK_FUNCTION_LIST* functions,
                                                        CK_SESSION_HANDLE session,
                                                        const std::vector<TokenObjectInfo>& objects,
                                                        const std::string& handle) {
    std::vector<const TokenObjectInfo*> found;
    for (const TokenObjectInfo& record : objects) {
        std::optional<std::string> own = ObjectHandleOf(functions, session, record);
        if (own && *own == handle)
            found.push_back(&record);
    }
    return found;
}
