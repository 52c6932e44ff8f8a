// Key containers over PKCS#11 objects: a container is the set of objects sharing one
// CKA_CONTAINER_NAME. The containers a token has are the names on its RSA public-key and
// certificate objects (both visible without login), in the order the token lists them, which is
// the order they were created.
//
// A module without the vendor attributes groups its objects by CKA_ID instead: an id that is a
// container name as the manager's imports write it (36 characters, upper-case GUID text) is that
// name; any other id, the empty one included, is named by the GUID text of the first 16 bytes
// of its SHA-256. An object without CKA_ID is in no container.
#pragma once

#include <p11-kit/pkcs11.h>

#include <korvan/vendor_aux.h>

#include <string>
#include <vector>

namespace providers::token {

using Bytes = std::vector<unsigned char>;

// Longest container name taken from a token; a longer value is not a container name.
inline constexpr std::size_t maximumContainerName = 255;
// Largest attribute value read from a token (certificates are a few kilobytes).
inline constexpr CK_ULONG maximumAttributeSize = 64 * 1024;
// Most objects looked at on one token.
inline constexpr std::size_t maximumObjects = 10'000;

// The two-call read of one attribute. CKR_ATTRIBUTE_TYPE_INVALID when the object lacks it;
// CKR_DATA_LEN_RANGE when it is larger than maximumAttributeSize.
CK_RV readAttribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, Bytes& value);

// A container name read from a token: ASCII up to the first NUL, non-empty, printable, at most
// maximumContainerName characters; empty when the value is none of that.
std::string containerNameFromValue(const Bytes& value);

enum class Naming {
    ContainerName, // CKA_CONTAINER_NAME
    ObjectId,      // CKA_ID
};

// The container name a CKA_ID value stands for.
std::string containerNameFromId(const Bytes& id);
// Whether `name` has the form of a container name an id can carry as it is.
bool isIdContainerName(const std::string& name);

// Every container of the token, oldest first.
CK_RV listContainers(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, Naming naming,
                     std::vector<std::string>& names);

struct ContainerObjects {
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;  // the first RSA public key
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE; // the first RSA private key (needs login)
    CK_OBJECT_HANDLE certificate = CK_INVALID_HANDLE; // the first X.509 certificate
    std::vector<CK_OBJECT_HANDLE> all;               // everything the session sees in it
    bool exists() const { return publicKey != CK_INVALID_HANDLE || certificate != CK_INVALID_HANDLE; }
};

CK_RV findContainer(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, Naming naming,
                    const std::string& name, ContainerObjects& out);

} // namespace providers::token
