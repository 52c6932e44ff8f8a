#pragma once

#include "softtoken/crypto/Secure.h"

#include <memory>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

namespace softtoken::crypto {

inline constexpr CK_ULONG kRsaMinModulusBits = 1024;
inline constexpr CK_ULONG kRsaMaxModulusBits = 4096;

// Big-endian unsigned integers without leading zero bytes, as PKCS#11 attributes hold them.
struct RsaKeyParts {
    Bytes modulus, publicExponent, privateExponent, prime1, prime2, exponent1, exponent2,
        coefficient;

    // Wipes the private values before the buffers go (Bytes does not wipe itself).
    void wipePrivate() noexcept;
};

// publicExponent empty means 65537. Results: CKR_OK, CKR_KEY_SIZE_RANGE (bits outside
// kRsaMinModulusBits..kRsaMaxModulusBits), CKR_ATTRIBUTE_VALUE_INVALID (exponent even,
// below 3, or wider than 64 bits), CKR_FUNCTION_FAILED, CKR_HOST_MEMORY.
CK_RV generateRsaKeyPair(CK_ULONG modulusBits, const Bytes& publicExponent, RsaKeyParts& out);

// The module caches one EVP_PKEY per key object and shares it with every operation.
using PkeyPtr = std::shared_ptr<EVP_PKEY>;

// nullptr when a value is missing or not a usable RSA key.
PkeyPtr makeRsaPublicKey(const Bytes& modulus, const Bytes& exponent);
// Needs modulus, publicExponent and privateExponent. The CRT values (much faster)
// are taken from the parts when given, completed from the two primes, or recovered
// from n, e, d; primes that do not multiply to the modulus give nullptr.
PkeyPtr makeRsaPrivateKey(const RsaKeyParts& parts);

// Bit length of a big-endian modulus, ignoring leading zero bytes.
CK_ULONG rsaModulusBits(const Bytes& modulus);
// Modulus size in bytes of an RSA key (0 for nullptr).
CK_ULONG rsaModulusBytes(const EVP_PKEY* key);

} // namespace softtoken::crypto
