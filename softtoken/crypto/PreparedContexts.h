#pragma once

#include "softtoken/crypto/Rsa.h"

#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

// Hash-and-sign contexts set up once per key and mechanism and copied for each operation:
// setting one up (fetching the algorithms, the provider's context) costs about as much as
// the RSA public operation of a verification, a copy a fraction of it.
namespace softtoken::crypto {

// A key whose operations may start from prepared contexts: the contexts live and go with
// the last reference to the key, so no private value outlives it.
PkeyPtr withPreparedContexts(EVP_PKEY* key);

enum class PreparedUse { Sign, Verify };

// Starts `out` as EVP_DigestSignInit/EVP_DigestVerifyInit with `md` would, from a context
// prepared for this key, mechanism and use (made on first use). False when the key carries
// no prepared contexts or OpenSSL refuses; the caller then initializes `out` itself.
bool startPrepared(EVP_PKEY* key, PreparedUse use, CK_MECHANISM_TYPE mechanism, const EVP_MD* md,
                   EVP_MD_CTX* out);

} // namespace softtoken::crypto
