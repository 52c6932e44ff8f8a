// RSA public keys in CryptoAPI form: PUBLICKEYBLOB export and import, and the public-key
// operations that run in software (PKCS#1 v1.5 verification and encryption).
#pragma once

#include "providers/core/Bytes.h"
#include "providers/core/OpenSsl.h"

#include <wincrypt.h>

namespace providers {

// Smallest and largest modulus a PUBLICKEYBLOB may carry, in bits.
inline constexpr DWORD minimumRsaBits = 512;
inline constexpr DWORD maximumRsaBits = 16384;

// The ALG_ID of a key spec or key algorithm: AT_SIGNATURE and CALG_RSA_SIGN give CALG_RSA_SIGN,
// AT_KEYEXCHANGE and CALG_RSA_KEYX give CALG_RSA_KEYX; anything else is NTE_BAD_ALGID.
ALG_ID rsaKeyAlgId(DWORD keySpecOrAlgId);

// The blob Windows exports for an RSA public key: BLOBHEADER {PUBLICKEYBLOB, 2, 0, aiKeyAlg},
// RSAPUBKEY {"RSA1", bitlen, pubexp} (little-endian), then the modulus least significant byte
// first, bitlen/8 bytes. bitlen is the modulus length in whole bytes times 8 (see rsaBits). A key
// whose exponent does not fit 32 bits is NTE_BAD_KEY.
Bytes exportPublicKeyBlob(EVP_PKEY* key, ALG_ID aiKeyAlg);

struct ImportedPublicKey {
    ALG_ID algid;
    EvpPkeyPtr key;
};
// Reads a PUBLICKEYBLOB strictly: bType PUBLICKEYBLOB (else NTE_BAD_TYPE), bVersion 2 (else
// NTE_BAD_VER), aiKeyAlg CALG_RSA_SIGN or CALG_RSA_KEYX (else NTE_BAD_ALGID), then NTE_BAD_DATA
// unless: magic "RSA1", bitlen within 512..16384 and a multiple of 8, the blob exactly
// 20 + bitlen/8 bytes, a non-zero exponent and a non-zero most significant modulus byte.
ImportedPublicKey importPublicKeyBlob(std::span<const BYTE> blob);

// An RSA public key from its parts, given most significant byte first.
EvpPkeyPtr rsaPublicKeyFromParts(std::span<const BYTE> modulus, std::span<const BYTE> exponent);

// The modulus length in bytes, and in bits as CryptoAPI counts them for blobs and KP_KEYLEN:
// whole bytes times 8 (the same as the exact count for every key a token generates).
DWORD rsaBytes(EVP_PKEY* key);
DWORD rsaBits(EVP_PKEY* key);

// PKCS#1 v1.5 verification of `digest` (computed with `md`) against a signature given most
// significant byte first. A mismatch, or a signature of the wrong length, is NTE_BAD_SIGNATURE.
void verifyPkcs1Signature(EVP_PKEY* key, const EVP_MD* md, std::span<const BYTE> digest,
                          std::span<const BYTE> signature);

// PKCS#1 v1.5 encryption; the ciphertext comes most significant byte first, rsaBytes long.
// A plaintext longer than rsaBytes - 11 is NTE_BAD_LEN.
Bytes encryptPkcs1(EVP_PKEY* key, std::span<const BYTE> plaintext);

} // namespace providers
