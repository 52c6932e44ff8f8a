#pragma once

#include "softtoken/crypto/Secure.h"

#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

// The RSA padding a mechanism asks for, read from its parameter block: PKCS#1 v1.5, PSS
// with its hash, MGF1 hash and salt length, or OAEP with its hashes and label.
namespace softtoken::crypto {

struct RsaPadding {
    int mode = 0;                // RSA_PKCS1_PADDING, RSA_PKCS1_PSS_PADDING, RSA_PKCS1_OAEP_PADDING
    const EVP_MD* hash = nullptr; // PSS: the digest signed; OAEP: the label's hash
    const EVP_MD* mgf1 = nullptr;
    int saltLength = 0;
    Bytes label;

    // Applies the padding to a context already initialized for its operation.
    bool applyTo(EVP_PKEY_CTX* ctx) const;
};

// Longest label accepted, so a hostile length is refused before anything is copied.
inline constexpr CK_ULONG kMaxOaepLabel = 65536;

// The hash of a PSS or OAEP parameter block (CKM_SHA_1, CKM_SHA224..CKM_SHA512), or null.
const EVP_MD* parameterHash(CK_MECHANISM_TYPE hashAlg);

// CK_RSA_PKCS_PSS_PARAMS: a known hash, equal to `mechanismHash` when the mechanism hashes
// itself, the MGF1 of that same hash, and a salt that fits a modulus of `modulusBits`.
// CKR_MECHANISM_PARAM_INVALID otherwise.
CK_RV readPssParameters(const CK_MECHANISM& mechanism, const EVP_MD* mechanismHash,
                        CK_ULONG modulusBits, RsaPadding& out);
// CK_RSA_PKCS_OAEP_PARAMS: a known hash, the MGF1 of that same hash, and the label given
// as CKZ_DATA_SPECIFIED (a source of 0 with no label also means no label).
// CKR_MECHANISM_PARAM_INVALID otherwise; CKR_KEY_SIZE_RANGE when a modulus of
// `modulusBytes` cannot hold the padding.
CK_RV readOaepParameters(const CK_MECHANISM& mechanism, CK_ULONG modulusBytes, RsaPadding& out);

} // namespace softtoken::crypto
