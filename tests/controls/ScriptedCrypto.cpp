#include "ScriptedCrypto.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace scripted {

namespace {

struct Context {
    std::string provider;
    const Container* container = nullptr; // null: no container named
    size_t enumerated = 0;
};
struct Key {
    const Container* container = nullptr;
    Bytes imported;
};
struct Hash {
    HCRYPTPROV prov = 0;
    std::string data;
};
struct Certificate {
    CERT_CONTEXT context = {};
    CERT_INFO info = {};
    Bytes der;
    const Container* container = nullptr;
};

std::map<ULONG_PTR, Context> contexts;
std::map<ULONG_PTR, Key> keys;
std::map<ULONG_PTR, Hash> hashes;
ULONG_PTR nextHandle = 1;

ULONG_PTR newHandle() {
    ++world().liveHandles;
    return nextHandle++;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

Bytes md5(const std::string& data) {
    Bytes digest(16);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

const Container* findContainer(const Bytes& der) {
    for (auto& [name, provider] : world().providers)
        for (const Container& c : provider.containers)
            if (c.validDer && certificateBytes(c) == der)
                return &c;
    return nullptr;
}

} // namespace

World& world() {
    static World instance;
    return instance;
}

void resetWorld() {
    world() = World{};
    contexts.clear();
    keys.clear();
    hashes.clear();
}

Bytes certificateBytes(const Container& container) {
    std::string text = "CERT:" + container.name;
    Bytes der(text.begin(), text.end());
    if (container.certificateSize > der.size())
        der.resize(container.certificateSize, 0x55);
    if (!container.validDer)
        der.insert(der.begin(), 0xFF);
    return der;
}

Bytes signatureOf(const std::string& data, const Bytes& key) {
    Bytes signature = md5(data);
    signature.insert(signature.end(), key.begin(), key.end());
    return signature;
}

} // namespace scripted

using namespace scripted;

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags) {
    const std::string name = szProvider ? szProvider : "";
    world().acquires.push_back(name + "|" + (szContainer ? szContainer : "-"));
    auto provider = world().providers.find(name);
    if (provider == world().providers.end() || dwProvType != PROV_RSA_FULL || dwFlags != 0)
        return fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    Context context{name, nullptr, 0};
    if (szContainer) {
        for (const Container& c : provider->second.containers)
            if (c.name == szContainer)
                context.container = &c;
        if (!context.container || context.container->refuseOpen)
            return fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    *phProv = newHandle();
    contexts[*phProv] = context;
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD) {
    if (!contexts.erase(hProv))
        return fail(ERROR_INVALID_HANDLE);
    --world().liveHandles;
    return TRUE;
}

BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    auto context = contexts.find(hProv);
    if (context == contexts.end() || dwParam != PP_SIGNATURE_PIN || pbData || dwFlags)
        return fail(ERROR_INVALID_PARAMETER);
    return world().providers[context->second.provider].pinRefused ? fail(static_cast<DWORD>(SCARD_W_WRONG_CHV))
                                                                  : TRUE;
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    auto context = contexts.find(hProv);
    if (context == contexts.end() || dwParam != PP_ENUMCONTAINERS)
        return fail(ERROR_INVALID_PARAMETER);
    const Provider& provider = world().providers[context->second.provider];
    if (provider.enumerationRefused)
        return fail(static_cast<DWORD>(NTE_FAIL));
    if (++world().enumerationCalls > kRunawayEnumeration)
        return fail(ERROR_NO_MORE_ITEMS);
    if (dwFlags & CRYPT_FIRST)
        context->second.enumerated = 0;
    static const std::string empty;
    if (context->second.enumerated >= provider.containers.size() && !provider.emptyNamesForever)
        return fail(ERROR_NO_MORE_ITEMS);
    const std::string& name = context->second.enumerated < provider.containers.size()
                                  ? provider.containers[context->second.enumerated].name
                                  : empty;
    // As the token's providers answer: the size needed, and the position left where it is.
    if (name.size() + 1 > *pdwDataLen) {
        *pdwDataLen = static_cast<DWORD>(name.size() + 1);
        return fail(ERROR_MORE_DATA);
    }
    std::memcpy(pbData, name.c_str(), name.size() + 1);
    *pdwDataLen = static_cast<DWORD>(name.size() + 1);
    ++context->second.enumerated;
    return TRUE;
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeyKind, HCRYPTKEY* phUserKey) {
    auto context = contexts.find(hProv);
    if (context == contexts.end() || dwKeyKind != AT_SIGNATURE)
        return fail(ERROR_INVALID_PARAMETER);
    const Container* container = context->second.container;
    if (!container) {
        const Provider& provider = world().providers[context->second.provider];
        if (provider.containers.empty())
            return fail(static_cast<DWORD>(NTE_NO_KEY));
        container = &provider.containers.front();
    }
    *phUserKey = newHandle();
    keys[*phUserKey] = Key{container, {}};
    return TRUE;
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    if (!keys.erase(hKey))
        return fail(ERROR_INVALID_HANDLE);
    --world().liveHandles;
    return TRUE;
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD) {
    auto key = keys.find(hKey);
    if (key == keys.end() || dwParam != KP_CERTIFICATE || !key->second.container)
        return fail(ERROR_INVALID_PARAMETER);
    if (!key->second.container->hasCertificate)
        return fail(static_cast<DWORD>(NTE_NOT_FOUND));
    const Bytes der = certificateBytes(*key->second.container);
    if (pbData && *pdwDataLen < der.size())
        return fail(ERROR_MORE_DATA);
    if (pbData)
        std::memcpy(pbData, der.data(), der.size());
    *pdwDataLen = static_cast<DWORD>(der.size());
    return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY, DWORD, HCRYPTHASH* phHash) {
    if (!contexts.count(hProv) || Algid != CALG_MD5)
        return fail(static_cast<DWORD>(NTE_BAD_ALGID));
    *phHash = newHandle();
    hashes[*phHash] = Hash{hProv, {}};
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD) {
    auto hash = hashes.find(hHash);
    if (hash == hashes.end())
        return fail(ERROR_INVALID_HANDLE);
    hash->second.data.append(reinterpret_cast<const char*>(pbData), dwDataLen);
    return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD) {
    auto hash = hashes.find(hHash);
    if (hash == hashes.end() || dwParam != HP_HASHVAL)
        return fail(ERROR_INVALID_PARAMETER);
    if (pbData && *pdwDataLen < 16)
        return fail(ERROR_MORE_DATA);
    if (pbData) {
        const Bytes digest = md5(hash->second.data);
        std::memcpy(pbData, digest.data(), 16);
    }
    *pdwDataLen = 16;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    if (!hashes.erase(hHash))
        return fail(ERROR_INVALID_HANDLE);
    --world().liveHandles;
    return TRUE;
}

BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeyKind, LPCSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                           DWORD* pdwSigLen) {
    auto hash = hashes.find(hHash);
    if (hash == hashes.end() || dwKeyKind != AT_SIGNATURE || szDescription || dwFlags)
        return fail(ERROR_INVALID_PARAMETER);
    const Context& context = contexts[hash->second.prov];
    const Provider& provider = world().providers[context.provider];
    const Container* container = context.container;
    if (!container) {
        if (provider.signTestRefused || provider.containers.empty())
            return fail(static_cast<DWORD>(NTE_BAD_KEYSET));
        container = &provider.containers.front();
    }
    const Bytes signature = signatureOf(hash->second.data, container->publicKey);
    if (pbSignature && *pdwSigLen < signature.size())
        return fail(ERROR_MORE_DATA);
    if (pbSignature)
        std::memcpy(pbSignature, signature.data(), signature.size());
    *pdwSigLen = static_cast<DWORD>(signature.size());
    return TRUE;
}

BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                                  LPCSTR szDescription, DWORD dwFlags) {
    auto hash = hashes.find(hHash);
    auto key = keys.find(hPubKey);
    if (hash == hashes.end() || key == keys.end() || szDescription || dwFlags)
        return fail(ERROR_INVALID_PARAMETER);
    const Bytes expected = signatureOf(hash->second.data, key->second.imported);
    if (Bytes(pbSignature, pbSignature + dwSigLen) != expected)
        return fail(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    return TRUE;
}

BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    auto context = contexts.find(hProv);
    if (context == contexts.end() || world().providers[context->second.provider].randomRefused)
        return fail(static_cast<DWORD>(NTE_FAIL));
    for (DWORD i = 0; i < dwLen; ++i)
        pbBuffer[i] = static_cast<BYTE>(0xA0 + i);
    return TRUE;
}

BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                                     HCRYPTKEY* phKey) {
    if (!contexts.count(hCryptProv) || dwCertEncodingType != (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING))
        return fail(ERROR_INVALID_PARAMETER);
    const CRYPT_OBJID_BLOB& parameters = pInfo->Algorithm.Parameters;
    const bool rsa = pInfo->Algorithm.pszObjId && std::strcmp(pInfo->Algorithm.pszObjId, szOID_RSA_RSA) == 0 &&
                     parameters.cbData == 2 && parameters.pbData[0] == 0x05 && parameters.pbData[1] == 0x00 &&
                     pInfo->PublicKey.cUnusedBits == 0;
    // A DER RSAPublicKey starts with a SEQUENCE.
    if (!rsa || pInfo->PublicKey.cbData == 0 || pInfo->PublicKey.pbData[0] != 0x30)
        return fail(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    *phKey = newHandle();
    keys[*phKey] = Key{nullptr, Bytes(pInfo->PublicKey.pbData, pInfo->PublicKey.pbData + pInfo->PublicKey.cbData)};
    return TRUE;
}

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                   DWORD cbCertEncoded) {
    const Container* container = findContainer(Bytes(pbCertEncoded, pbCertEncoded + cbCertEncoded));
    if (dwCertEncodingType != (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING) || !container) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return NULL;
    }
    auto* certificate = new Certificate;
    certificate->container = container;
    certificate->der = certificateBytes(*container);
    certificate->info.SerialNumber.cbData = static_cast<DWORD>(container->serial.size());
    certificate->info.SerialNumber.pbData = const_cast<BYTE*>(container->serial.data());
    certificate->info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(container->publicKey.size());
    certificate->info.SubjectPublicKeyInfo.PublicKey.pbData = const_cast<BYTE*>(container->publicKey.data());
    certificate->context.dwCertEncodingType = dwCertEncodingType;
    certificate->context.pbCertEncoded = certificate->der.data();
    certificate->context.cbCertEncoded = static_cast<DWORD>(certificate->der.size());
    certificate->context.pCertInfo = &certificate->info;
    ++world().liveHandles;
    return &certificate->context;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext) {
        --world().liveHandles;
        delete reinterpret_cast<const Certificate*>(pCertContext);
    }
    return TRUE;
}

DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                LPSTR pszNameString, DWORD cchNameString) {
    if (dwType != CERT_NAME_SIMPLE_DISPLAY_TYPE || dwFlags || pvTypePara)
        return 0;
    const std::string& name = reinterpret_cast<const Certificate*>(pCertContext)->container->displayName;
    if (!pszNameString)
        return static_cast<DWORD>(name.size() + 1);
    if (cchNameString == 0)
        return 0;
    const size_t n = std::min<size_t>(name.size(), cchNameString - 1);
    std::memcpy(pszNameString, name.data(), n);
    pszNameString[n] = '\0';
    return static_cast<DWORD>(n + 1);
}

// Key generation, export and import are not scripted: the flows under test never reach them.
BOOL WINAPI CryptGenKey(HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY*) {
    return fail(static_cast<DWORD>(NTE_FAIL));
}

BOOL WINAPI CryptExportKey(HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) {
    return fail(static_cast<DWORD>(NTE_FAIL));
}

BOOL WINAPI CryptImportKey(HCRYPTPROV, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*) {
    return fail(static_cast<DWORD>(NTE_FAIL));
}
