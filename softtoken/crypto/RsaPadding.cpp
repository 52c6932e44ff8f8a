#include "softtoken/crypto/RsaPadding.h"

#include <cstring>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

namespace softtoken::crypto {
namespace {

struct HashEntry {
    CK_MECHANISM_TYPE hashAlg;
    CK_RSA_PKCS_MGF_TYPE mgf;
    const EVP_MD* (*md)();
};

constexpr HashEntry kHashes[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, EVP_sha1},       {CKM_SHA224, CKG_MGF1_SHA224, EVP_sha224},
    {CKM_SHA256, CKG_MGF1_SHA256, EVP_sha256}, {CKM_SHA384, CKG_MGF1_SHA384, EVP_sha384},
    {CKM_SHA512, CKG_MGF1_SHA512, EVP_sha512},
};

const HashEntry* hashEntry(CK_MECHANISM_TYPE hashAlg) {
    for (const HashEntry& e : kHashes)
        if (e.hashAlg == hashAlg)
            return &e;
    return nullptr;
}

template <class Params> const Params* parameterBlock(const CK_MECHANISM& mechanism) {
    if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(Params))
        return nullptr;
    return static_cast<const Params*>(mechanism.pParameter);
}

} // namespace

const EVP_MD* parameterHash(CK_MECHANISM_TYPE hashAlg) {
    const HashEntry* e = hashEntry(hashAlg);
    return e ? e->md() : nullptr;
}

bool RsaPadding::applyTo(EVP_PKEY_CTX* ctx) const {
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, mode) != 1)
        return false;
    if (mode == RSA_PKCS1_PSS_PADDING)
        return EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, mgf1) == 1 &&
               EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, saltLength) == 1;
    if (mode != RSA_PKCS1_OAEP_PADDING)
        return true;
    if (EVP_PKEY_CTX_set_rsa_oaep_md(ctx, hash) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, mgf1) != 1)
        return false;
    if (label.empty())
        return true;
    // The context takes the copy and frees it.
    void* copy = OPENSSL_memdup(label.data(), label.size());
    if (copy == nullptr)
        return false;
    if (EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, copy, static_cast<int>(label.size())) != 1) {
        OPENSSL_free(copy);
        return false;
    }
    return true;
}

CK_RV readPssParameters(const CK_MECHANISM& mechanism, const EVP_MD* mechanismHash,
                        CK_ULONG modulusBits, RsaPadding& out) {
    const auto* p = parameterBlock<CK_RSA_PKCS_PSS_PARAMS>(mechanism);
    if (p == nullptr)
        return CKR_MECHANISM_PARAM_INVALID;
    const HashEntry* e = hashEntry(p->hashAlg);
    if (e == nullptr || p->mgf != e->mgf)
        return CKR_MECHANISM_PARAM_INVALID;
    const EVP_MD* md = e->md();
    if (mechanismHash != nullptr && EVP_MD_get_type(md) != EVP_MD_get_type(mechanismHash))
        return CKR_MECHANISM_PARAM_INVALID;
    // The encoded message has modulusBits - 1 bits and holds the hash, the salt and two
    // more bytes.
    const CK_ULONG hashLen = static_cast<CK_ULONG>(EVP_MD_get_size(md));
    const CK_ULONG emLen = modulusBits >= 2 ? (modulusBits - 1 + 7) / 8 : 0;
    if (emLen < hashLen + 2 || p->sLen > emLen - hashLen - 2)
        return CKR_MECHANISM_PARAM_INVALID;
    out = RsaPadding{};
    out.mode = RSA_PKCS1_PSS_PADDING;
    out.hash = md;
    out.mgf1 = md;
    out.saltLength = static_cast<int>(p->sLen);
    return CKR_OK;
}

CK_RV readOaepParameters(const CK_MECHANISM& mechanism, CK_ULONG modulusBytes, RsaPadding& out) {
    const auto* p = parameterBlock<CK_RSA_PKCS_OAEP_PARAMS>(mechanism);
    if (p == nullptr)
        return CKR_MECHANISM_PARAM_INVALID;
    const HashEntry* e = hashEntry(p->hashAlg);
    if (e == nullptr || p->mgf != e->mgf)
        return CKR_MECHANISM_PARAM_INVALID;
    const bool noLabel = p->ulSourceDataLen == 0;
    if (p->source != CKZ_DATA_SPECIFIED && !(p->source == 0 && noLabel))
        return CKR_MECHANISM_PARAM_INVALID;
    if ((p->pSourceData == nullptr && !noLabel) || p->ulSourceDataLen > kMaxOaepLabel)
        return CKR_MECHANISM_PARAM_INVALID;
    const EVP_MD* md = e->md();
    const CK_ULONG hashLen = static_cast<CK_ULONG>(EVP_MD_get_size(md));
    if (modulusBytes < 2 * hashLen + 2)
        return CKR_KEY_SIZE_RANGE;
    out = RsaPadding{};
    out.mode = RSA_PKCS1_OAEP_PADDING;
    out.hash = md;
    out.mgf1 = md;
    if (!noLabel) {
        const auto* data = static_cast<const std::uint8_t*>(p->pSourceData);
        out.label.assign(data, data + p->ulSourceDataLen);
    }
    return CKR_OK;
}

} // namespace softtoken::crypto
