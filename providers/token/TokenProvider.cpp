#include "providers/token/TokenProvider.h"

#include "providers/core/RsaKey.h"
#include "providers/token/Containers.h"
#include "providers/token/Identity.h"
#include "providers/token/PinStep.h"
#include "providers/token/Token.h"

#include "platform/Guid.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

namespace providers::token {
namespace {

constexpr DWORD acceptedAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET |
                                       CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
// The modulus length CryptGenKey uses when the caller gives none: 1024 bits is not safe any more.
constexpr DWORD defaultKeyBits = 2048;

using Lock = std::lock_guard<std::recursive_mutex>;

TokenLink& link() {
    return TokenLink::instance();
}

CK_FUNCTION_LIST* fns() {
    return link().functions();
}

// The PIN step, with a login it makes noted for the host, which bounds how long it lasts.
void pinStep(std::uint64_t generation, bool silent, const char* givenPin) {
    const bool wasLoggedIn = link().loggedIn(generation);
    runPinStep(link(), generation, silent, givenPin);
    if (!wasLoggedIn)
        link().noteLogin();
}

void check(CK_RV rv) {
    if (rv != CKR_OK)
        link().fail(rv);
}

Naming naming() {
    return link().vendorAttributes() ? Naming::ContainerName : Naming::ObjectId;
}

ContainerObjects objectsOf(CK_SESSION_HANDLE session, const std::string& container) {
    ContainerObjects objects;
    check(findContainer(fns(), session, naming(), container, objects));
    return objects;
}

std::vector<std::string> containersOf(CK_SESSION_HANDLE session) {
    std::vector<std::string> names;
    check(listContainers(fns(), session, naming(), names));
    return names;
}

// A name a new container can take: on a module without the vendor attributes the name lives in
// CKA_ID, and only a name of the GUID form reads back as itself.
bool validContainerName(const std::string& name) {
    if (naming() == Naming::ObjectId)
        return isIdContainerName(name);
    return !name.empty() && containerNameFromValue(Bytes(name.begin(), name.end())) == name;
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr decodeCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    // Trailing bytes after the certificate are a damaged value too.
    if (certificate && p != der.data() + der.size())
        certificate.reset();
    return certificate;
}

// The container key's public half: from its RSA public-key object, else from its certificate.
EvpPkeyPtr containerPublicKey(CK_SESSION_HANDLE session, const ContainerObjects& objects) {
    if (objects.publicKey != CK_INVALID_HANDLE) {
        Bytes modulus, exponent;
        check(readAttribute(fns(), session, objects.publicKey, CKA_MODULUS, modulus));
        check(readAttribute(fns(), session, objects.publicKey, CKA_PUBLIC_EXPONENT, exponent));
        if (modulus.empty() || exponent.empty())
            providers::fail(NTE_BAD_PUBLIC_KEY);
        return rsaPublicKeyFromParts(modulus, exponent);
    }
    if (objects.certificate != CK_INVALID_HANDLE) {
        Bytes der;
        check(readAttribute(fns(), session, objects.certificate, CKA_VALUE, der));
        X509Ptr certificate = decodeCertificate(der);
        if (certificate) {
            EvpPkeyPtr key(X509_get_pubkey(certificate.get()));
            if (key && EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA)
                return key;
        }
    }
    providers::fail(NTE_NO_KEY);
}

std::string newContainerName(CK_SESSION_HANDLE session) {
    const std::vector<std::string> existing = containersOf(session);
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = platform::newGuidText();
        if (std::find(existing.begin(), existing.end(), name) == existing.end())
            return name;
    }
    providers::fail(NTE_FAIL);
}

} // namespace

// --- certificate display name ---------------------------------------------------------------

std::string certificateDisplayName(const Bytes& der) {
    X509Ptr certificate = decodeCertificate(der);
    if (!certificate)
        return {};
    const X509_NAME* subject = X509_get_subject_name(certificate.get());
    auto text = [](const X509_NAME_ENTRY* entry) {
        std::string out;
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        if (length > 0)
            out.assign(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
        OPENSSL_free(utf8);
        return out;
    };
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                    NID_pkcs9_emailAddress}) {
        const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (index >= 0)
            if (std::string value = text(X509_NAME_get_entry(subject, index)); !value.empty())
                return value;
    }
    if (X509_NAME_entry_count(subject) > 0)
        return text(X509_NAME_get_entry(subject, 0));
    return {};
}

// --- TokenKey -------------------------------------------------------------------------------

TokenKey::TokenKey(ALG_ID algid, EvpPkeyPtr publicKey, std::uint64_t generation,
                   std::string container)
    : Key(algid, std::move(publicKey)), generation_(generation), container_(std::move(container)) {}

void TokenKey::getParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) const {
    if (param != KP_CERTIFICATE) {
        Key::getParam(param, pbData, pcbData, flags);
        return;
    }
    if (flags != 0)
        providers::fail(NTE_BAD_FLAGS);
    Lock lock(link().mutex());
    const CK_SESSION_HANDLE session = link().session(generation_);
    const ContainerObjects objects = objectsOf(session, container_);
    if (objects.certificate == CK_INVALID_HANDLE)
        providers::fail(NTE_NOT_FOUND);
    Bytes der;
    const CK_RV rv = readAttribute(fns(), session, objects.certificate, CKA_VALUE, der);
    if (rv == CKR_DATA_LEN_RANGE || rv == CKR_ATTRIBUTE_TYPE_INVALID)
        providers::fail(NTE_BAD_DATA);
    check(rv);
    if (der.empty())
        providers::fail(NTE_BAD_DATA);
    copyOut(der, pbData, pcbData);
}

// --- TokenProvider --------------------------------------------------------------------------

TokenProvider::TokenProvider() : Provider(providerIdentity().providerName, PROV_RSA_FULL) {}

std::unique_ptr<Context> TokenProvider::acquireContext(LPCSTR container, DWORD flags,
                                                       const VTableProvStruc*) {
    if ((flags & ~acceptedAcquireFlags) != 0)
        providers::fail(NTE_BAD_FLAGS);
    const bool silent = (flags & CRYPT_SILENT) != 0;
    const bool verify = (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
    const bool create = (flags & CRYPT_NEWKEYSET) != 0;
    const bool remove = (flags & CRYPT_DELETEKEYSET) != 0;
    if ((verify && (create || remove)) || (create && remove))
        providers::fail(NTE_BAD_FLAGS);
    const std::string name = container ? std::string(container) : std::string();
    if (verify) {
        if (!name.empty())
            providers::fail(NTE_BAD_FLAGS);
        return std::make_unique<TokenContext>(*this, 0, std::string(), silent);
    }
    if (remove)
        return deleteKeyset(container, silent);

    Lock lock(link().mutex());
    const std::uint64_t generation = link().attach();
    const CK_SESSION_HANDLE session = link().session(generation);
    if (create) {
        if (name.empty())
            return std::make_unique<TokenContext>(*this, generation, newContainerName(session),
                                                  silent);
        if (!validContainerName(name))
            providers::fail(NTE_BAD_KEYSET_PARAM);
        const std::vector<std::string> existing = containersOf(session);
        if (std::find(existing.begin(), existing.end(), name) != existing.end())
            providers::fail(NTE_EXISTS);
        return std::make_unique<TokenContext>(*this, generation, name, silent);
    }
    const std::vector<std::string> existing = containersOf(session);
    if (name.empty())
        return std::make_unique<TokenContext>(
            *this, generation, existing.empty() ? std::string() : existing.front(), silent);
    if (std::find(existing.begin(), existing.end(), name) == existing.end())
        providers::fail(NTE_BAD_KEYSET);
    return std::make_unique<TokenContext>(*this, generation, name, silent);
}

std::unique_ptr<Context> TokenProvider::deleteKeyset(LPCSTR container, bool silent) {
    if (!container || !*container)
        providers::fail(NTE_BAD_KEYSET_PARAM);
    const std::string name = container;
    Lock lock(link().mutex());
    const std::uint64_t generation = link().attach();
    ContainerObjects objects = objectsOf(link().session(generation), name);
    if (!objects.exists())
        providers::fail(NTE_BAD_KEYSET);
    // Deleting asks the user, so a silent context cannot delete.
    if (silent)
        providers::fail(NTE_SILENT_CONTEXT);
    pinStep(generation, false, nullptr);

    const CK_SESSION_HANDLE session = link().session(generation);
    objects = objectsOf(session, name); // logged in: the private objects too
    DeletedObjects deleted;
    deleted.keyPair = objects.publicKey != CK_INVALID_HANDLE || objects.privateKey != CK_INVALID_HANDLE;
    deleted.certificate = objects.certificate != CK_INVALID_HANDLE;
    if (deleted.certificate) {
        Bytes der;
        if (readAttribute(fns(), session, objects.certificate, CKA_VALUE, der) == CKR_OK)
            deleted.certificateName = certificateDisplayName(der);
    }
    confirmDeletion(link().describe(generation), name, deleted);

    // The public key and certificate go last: until they do the container is still listed, so
    // a deletion cut short can be run again.
    std::vector<CK_OBJECT_HANDLE> order;
    for (CK_OBJECT_HANDLE object : objects.all)
        if (object != objects.publicKey && object != objects.certificate)
            order.push_back(object);
    for (CK_OBJECT_HANDLE object : {objects.publicKey, objects.certificate})
        if (object != CK_INVALID_HANDLE)
            order.push_back(object);
    for (CK_OBJECT_HANDLE object : order)
        check(fns()->C_DestroyObject(link().session(generation), object));
    return nullptr;
}

// --- TokenContext ---------------------------------------------------------------------------

TokenContext::TokenContext(Provider& provider, std::uint64_t generation, std::string container,
                           bool silent)
    : Context(provider), generation_(generation), container_(std::move(container)),
      silent_(silent) {}

std::uint64_t TokenContext::generation() {
    // A verification context takes whichever token is there when it first needs one.
    if (generation_ == 0)
        generation_ = link().attach();
    return generation_;
}

void TokenContext::requireContainer() const {
    if (container_.empty())
        providers::fail(NTE_NO_KEY);
}

void TokenContext::loginForPrivateKey() {
    pinStep(generation(), silent_, nullptr);
}

CK_OBJECT_HANDLE TokenContext::privateKey(const std::string& container) {
    const ContainerObjects objects = objectsOf(link().session(generation()), container);
    if (objects.privateKey == CK_INVALID_HANDLE)
        providers::fail(NTE_NO_KEY);
    return objects.privateKey;
}

void TokenContext::getProvParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) {
    Lock lock(link().mutex());
    switch (param) {
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        if (flags != 0)
            providers::fail(NTE_BAD_FLAGS);
        if (container_.empty())
            providers::fail(NTE_BAD_KEYSET);
        copyOutText(container_, pbData, pcbData);
        return;
    case PP_ENUMCONTAINERS: {
        if ((flags & ~(CRYPT_FIRST | CRYPT_NEXT)) != 0)
            providers::fail(NTE_BAD_FLAGS);
        if (!pcbData)
            providers::fail(ERROR_INVALID_PARAMETER);
        if ((flags & CRYPT_FIRST) || !enumerationStarted_) {
            enumeration_ = containersOf(link().session(generation()));
            enumerationPosition_ = 0;
            enumerationStarted_ = true;
        }
        if (enumerationPosition_ >= enumeration_.size())
            providers::fail(ERROR_NO_MORE_ITEMS);
        // A length query or a short buffer leaves the position where it is.
        const std::string& name = enumeration_[enumerationPosition_];
        const DWORD needed = static_cast<DWORD>(name.size() + 1);
        const bool fits = pbData && *pcbData >= needed;
        copyOutText(name, pbData, pcbData);
        if (fits)
            ++enumerationPosition_;
        return;
    }
    default:
        Context::getProvParam(param, pbData, pcbData, flags);
    }
}

void TokenContext::setProvParam(DWORD param, const BYTE* pbData, DWORD flags) {
    if (param != PP_SIGNATURE_PIN && param != PP_KEYEXCHANGE_PIN) {
        Context::setProvParam(param, pbData, flags);
        return;
    }
    if (flags != 0)
        providers::fail(NTE_BAD_FLAGS);
    Lock lock(link().mutex());
    pinStep(generation(), silent_, reinterpret_cast<const char*>(pbData));
}

std::unique_ptr<Key> TokenContext::userKey(DWORD keySpec) {
    if (keySpec != AT_SIGNATURE && keySpec != AT_KEYEXCHANGE)
        providers::fail(NTE_BAD_KEY);
    requireContainer();
    Lock lock(link().mutex());
    const CK_SESSION_HANDLE session = link().session(generation());
    const ContainerObjects objects = objectsOf(session, container_);
    if (!objects.exists())
        providers::fail(NTE_NO_KEY);
    auto key = std::make_unique<TokenKey>(rsaKeyAlgId(keySpec), containerPublicKey(session, objects),
                                          generation(), container_);
    keyBytes_ = key->byteLength();
    return key;
}

DWORD TokenContext::signatureSize(DWORD keySpec) {
    if (keySpec != AT_SIGNATURE && keySpec != AT_KEYEXCHANGE)
        providers::fail(NTE_BAD_KEY);
    requireContainer();
    // Known from CryptGetUserKey: the length query needs neither the token nor a PIN.
    if (keyBytes_)
        return *keyBytes_;
    return userKey(keySpec)->byteLength();
}

Bytes TokenContext::signHash(HashObject& hash, DWORD keySpec, DWORD flags) {
    if (keySpec != AT_SIGNATURE && keySpec != AT_KEYEXCHANGE)
        providers::fail(NTE_BAD_KEY);
    if (flags != 0)
        providers::fail(NTE_BAD_FLAGS);
    requireContainer();
    Lock lock(link().mutex());
    loginForPrivateKey();
    const CK_OBJECT_HANDLE key = privateKey(container_);
    const CK_SESSION_HANDLE session = link().session(generation());
    Bytes input = hash.digestInfo();
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    check(fns()->C_SignInit(session, &mechanism, key));
    // Room for the largest modulus: one call, so no operation is left open on a short buffer.
    Bytes signature(maximumRsaBits / 8);
    CK_ULONG length = signature.size();
    check(fns()->C_Sign(session, input.data(), input.size(), signature.data(), &length));
    if (length == 0 || length > signature.size())
        providers::fail(NTE_FAIL);
    signature.resize(length);
    return reversedBytes(signature);
}

void TokenContext::decrypt(Key& key, HashObject* hash, BOOL final, DWORD flags, BYTE* pbData,
                           DWORD* pcbDataLen) {
    auto* tokenKey = dynamic_cast<TokenKey*>(&key);
    // Only a container key has a private half; an imported public key cannot decrypt.
    if (!tokenKey)
        providers::fail(NTE_BAD_KEY);
    if (flags != 0)
        providers::fail(NTE_BAD_FLAGS);
    if (!final || *pcbDataLen == 0)
        providers::fail(NTE_BAD_DATA);
    const DWORD k = key.byteLength();
    if (*pcbDataLen != k)
        providers::fail(NTE_BAD_DATA);
    Lock lock(link().mutex());
    if (tokenKey->generation() != generation())
        providers::fail(SCARD_W_REMOVED_CARD);
    loginForPrivateKey();
    const CK_OBJECT_HANDLE privateHandle = privateKey(tokenKey->container());
    const CK_SESSION_HANDLE session = link().session(generation());

    // CryptoAPI gives the ciphertext least significant byte first.
    Bytes input = reversedBytes(std::span<const BYTE>(pbData, *pcbDataLen));
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    check(fns()->C_DecryptInit(session, &mechanism, privateHandle));
    Bytes plaintext(k);
    CK_ULONG length = plaintext.size();
    const CK_RV rv = fns()->C_Decrypt(session, input.data(), input.size(), plaintext.data(), &length);
    if (rv != CKR_OK) {
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
        link().fail(rv);
    }
    if (length > k) {
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
        providers::fail(NTE_FAIL);
    }
    // Nothing can fail from here on: the caller's buffer changes only now.
    if (hash)
        hash->hashData(std::span<const BYTE>(plaintext.data(), length));
    std::memcpy(pbData, plaintext.data(), length);
    *pcbDataLen = static_cast<DWORD>(length);
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
}

std::unique_ptr<Key> TokenContext::generateKey(ALG_ID algid, DWORD flags) {
    const ALG_ID keyAlgid = rsaKeyAlgId(algid);
    // The private half never leaves the token, so it cannot be made exportable.
    if ((flags & 0xFFFFu & ~CRYPT_USER_PROTECTED) != 0)
        providers::fail(NTE_BAD_FLAGS);
    DWORD bits = flags >> 16;
    if (bits == 0)
        bits = defaultKeyBits;
    if (bits < minimumRsaBits || bits > maximumRsaBits || bits % 8 != 0)
        providers::fail(NTE_BAD_FLAGS);
    if (container_.empty())
        providers::fail(NTE_BAD_KEYSET);
    Lock lock(link().mutex());
    {
        const ContainerObjects existing = objectsOf(link().session(generation()), container_);
        // One key pair per container: a second would leave the first without its certificate.
        if (existing.exists())
            providers::fail(NTE_EXISTS);
    }
    loginForPrivateKey();
    const CK_SESSION_HANDLE session = link().session(generation());

    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ULONG modulusBits = bits;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    std::string containerValue = container_;
    containerValue.push_back('\0');
    const std::string label = container_;
    CK_BYTE* id = reinterpret_cast<CK_BYTE*>(const_cast<char*>(container_.data()));
    CK_BYTE* labelBytes = reinterpret_cast<CK_BYTE*>(const_cast<char*>(label.data()));
    CK_BYTE* containerBytes = reinterpret_cast<CK_BYTE*>(containerValue.data());
    const bool keyExchange = keyAlgid == CALG_RSA_KEYX;
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_CLASS, &publicClass, sizeof publicClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &no, sizeof no},
        {CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
        {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ENCRYPT, keyExchange ? &yes : &no, sizeof yes},
        {CKA_LABEL, labelBytes, label.size()},
        {CKA_ID, id, container_.size()},
        {CKA_CONTAINER_NAME, containerBytes, containerValue.size()},
    };
    // A module without the vendor attributes gets the standard ones only: the last entry goes.
    const CK_ULONG templateSize = naming() == Naming::ContainerName ? std::size(publicTemplate)
                                                                   : std::size(publicTemplate) - 1;
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_CLASS, &privateClass, sizeof privateClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_LABEL, labelBytes, label.size()},
        {CKA_ID, id, container_.size()},
        {CKA_CONTAINER_NAME, containerBytes, containerValue.size()},
    };
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicHandle = CK_INVALID_HANDLE, privateHandle = CK_INVALID_HANDLE;
    static_assert(std::size(publicTemplate) == std::size(privateTemplate));
    check(fns()->C_GenerateKeyPair(session, &mechanism, publicTemplate, templateSize,
                                   privateTemplate, templateSize, &publicHandle, &privateHandle));
    ContainerObjects created;
    created.publicKey = publicHandle;
    auto key = std::make_unique<TokenKey>(keyAlgid, containerPublicKey(session, created),
                                          generation(), container_);
    keyBytes_ = key->byteLength();
    return key;
}

} // namespace providers::token
