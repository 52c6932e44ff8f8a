#include "providers/token/Containers.h"

#include "platform/Guid.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace providers::token {
namespace {

// Every object the session sees, in the token's order.
CK_RV allObjects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, std::vector<CK_OBJECT_HANDLE>& out) {
    out.clear();
    CK_RV rv = f->C_FindObjectsInit(s, nullptr, 0);
    if (rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE batch[64];
    for (;;) {
        CK_ULONG count = 0;
        rv = f->C_FindObjects(s, batch, 64, &count);
        if (rv != CKR_OK || count == 0)
            break;
        if (count > 64 || out.size() + count > maximumObjects) {
            rv = CKR_GENERAL_ERROR;
            break;
        }
        out.insert(out.end(), batch, batch + count);
    }
    const CK_RV finalRv = f->C_FindObjectsFinal(s);
    return rv != CKR_OK ? rv : finalRv;
}

bool ulongValue(const Bytes& value, CK_ULONG& out) {
    if (value.size() != sizeof out)
        return false;
    std::memcpy(&out, value.data(), sizeof out);
    return true;
}

enum class Kind { Other, RsaPublic, RsaPrivate, Certificate };

CK_RV kindOf(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, Kind& kind) {
    kind = Kind::Other;
    Bytes value;
    CK_RV rv = readAttribute(f, s, object, CKA_CLASS, value);
    CK_ULONG objectClass = 0;
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || (rv == CKR_OK && !ulongValue(value, objectClass)))
        return CKR_OK;
    if (rv != CKR_OK)
        return rv;
    if (objectClass == CKO_CERTIFICATE) {
        rv = readAttribute(f, s, object, CKA_CERTIFICATE_TYPE, value);
        CK_ULONG type = 0;
        if (rv == CKR_OK && ulongValue(value, type) && type == CKC_X_509)
            kind = Kind::Certificate;
        return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID ? CKR_OK : rv;
    }
    if (objectClass != CKO_PUBLIC_KEY && objectClass != CKO_PRIVATE_KEY)
        return CKR_OK;
    rv = readAttribute(f, s, object, CKA_KEY_TYPE, value);
    CK_ULONG keyType = 0;
    if (rv == CKR_OK && ulongValue(value, keyType) && keyType == CKK_RSA)
        kind = objectClass == CKO_PUBLIC_KEY ? Kind::RsaPublic : Kind::RsaPrivate;
    return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID ? CKR_OK : rv;
}

// The object's container name, empty when it has none (or an unusable one).
CK_RV containerOf(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, Naming naming, CK_OBJECT_HANDLE object,
                  std::string& name) {
    name.clear();
    Bytes value;
    const CK_RV rv = readAttribute(f, s, object,
                                   naming == Naming::ObjectId ? CKA_ID : CKA_CONTAINER_NAME, value);
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_DATA_LEN_RANGE ||
        rv == CKR_ATTRIBUTE_SENSITIVE)
        return CKR_OK;
    if (rv != CKR_OK)
        return rv;
    name = naming == Naming::ObjectId ? containerNameFromId(value) : containerNameFromValue(value);
    return CKR_OK;
}

} // namespace

bool isIdContainerName(const std::string& name) {
    if (name.size() != 36)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

std::string containerNameFromId(const Bytes& id) {
    if (std::string text(id.begin(), id.end()); isIdContainerName(text))
        return text;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(id.data(), id.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 16)
        return {};
    // The bytes as a GUID lies in memory: its first three fields little-endian.
    platform::Guid guid;
    guid.data1 = static_cast<std::uint32_t>(digest[0]) | static_cast<std::uint32_t>(digest[1]) << 8 |
                 static_cast<std::uint32_t>(digest[2]) << 16 | static_cast<std::uint32_t>(digest[3]) << 24;
    guid.data2 = static_cast<std::uint16_t>(digest[4] | digest[5] << 8);
    guid.data3 = static_cast<std::uint16_t>(digest[6] | digest[7] << 8);
    std::copy(digest + 8, digest + 16, guid.data4.begin());
    return platform::guidText(guid);
}

CK_RV readAttribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, Bytes& value) {
    value.clear();
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = f->C_GetAttributeValue(s, object, &attribute, 1);
    if (rv != CKR_OK)
        return rv;
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return CKR_ATTRIBUTE_TYPE_INVALID;
    if (attribute.ulValueLen > maximumAttributeSize)
        return CKR_DATA_LEN_RANGE;
    value.resize(attribute.ulValueLen);
    attribute.pValue = value.data();
    rv = f->C_GetAttributeValue(s, object, &attribute, 1);
    if (rv != CKR_OK) {
        value.clear();
        return rv;
    }
    // The token may answer less than it announced, never more.
    if (attribute.ulValueLen > value.size()) {
        value.clear();
        return CKR_GENERAL_ERROR;
    }
    value.resize(attribute.ulValueLen);
    return CKR_OK;
}

std::string containerNameFromValue(const Bytes& value) {
    const auto end = std::find(value.begin(), value.end(), 0);
    std::string name(value.begin(), end);
    if (name.empty() || name.size() > maximumContainerName)
        return {};
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7E)
            return {};
    return name;
}

CK_RV listContainers(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, Naming naming,
                     std::vector<std::string>& names) {
    names.clear();
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_RV rv = allObjects(f, s, objects);
    if (rv != CKR_OK)
        return rv;
    for (CK_OBJECT_HANDLE object : objects) {
        Kind kind;
        rv = kindOf(f, s, object, kind);
        if (rv != CKR_OK)
            return rv;
        if (kind != Kind::RsaPublic && kind != Kind::Certificate)
            continue;
        std::string name;
        rv = containerOf(f, s, naming, object, name);
        if (rv != CKR_OK)
            return rv;
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return CKR_OK;
}

CK_RV findContainer(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, Naming naming,
                    const std::string& name, ContainerObjects& out) {
    out = ContainerObjects{};
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_RV rv = allObjects(f, s, objects);
    if (rv != CKR_OK)
        return rv;
    for (CK_OBJECT_HANDLE object : objects) {
        std::string objectContainer;
        rv = containerOf(f, s, naming, object, objectContainer);
        if (rv != CKR_OK)
            return rv;
        if (objectContainer.empty() || objectContainer != name)
            continue;
        out.all.push_back(object);
        Kind kind;
        rv = kindOf(f, s, object, kind);
        if (rv != CKR_OK)
            return rv;
        if (kind == Kind::RsaPublic && out.publicKey == CK_INVALID_HANDLE)
            out.publicKey = object;
        else if (kind == Kind::RsaPrivate && out.privateKey == CK_INVALID_HANDLE)
            out.privateKey = object;
        else if (kind == Kind::Certificate && out.certificate == CK_INVALID_HANDLE)
            out.certificate = object;
    }
    return CKR_OK;
}

} // namespace providers::token
