// Hash objects (CryptCreateHash and friends) over OpenSSL digests.
#pragma once

#include "providers/core/Bytes.h"
#include "providers/core/OpenSsl.h"

#include <wincrypt.h>

namespace providers {

class HashObject {
public:
    // CALG_MD5, CALG_SHA1 or CALG_SHA_256; any other algorithm is NTE_BAD_ALGID.
    explicit HashObject(ALG_ID algid);

    ALG_ID algId() const { return algid_; }
    // The digest length in bytes.
    DWORD size() const;
    // The OpenSSL digest of the algorithm, for verification.
    const EVP_MD* digest() const { return md_; }

    // More data. Once the value was read (HP_HASHVAL, signing, verifying) the object is
    // finished and more data is NTE_BAD_HASH_STATE.
    void hashData(std::span<const BYTE> data);
    // Finishes the object on first use; later calls return the same value.
    const Bytes& value();
    bool finished() const { return finished_; }

    // The PKCS#1 v1.5 DigestInfo (DER AlgorithmIdentifier prefix followed by the value) that an
    // RSA signature of this hash covers: what a token signs with CKM_RSA_PKCS. Finishes the object.
    Bytes digestInfo();

    // CPGetHashParam: HP_ALGID, HP_HASHSIZE (DWORDs) and HP_HASHVAL, with the length-query forms
    // of copyOut. Other parameters are NTE_BAD_TYPE; non-zero flags NTE_BAD_FLAGS.
    void getParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags);

private:
    ALG_ID algid_;
    const EVP_MD* md_;
    EvpMdCtxPtr context_;
    bool finished_ = false;
    Bytes value_;
};

// The DER DigestInfo prefix of a hash algorithm (NTE_BAD_ALGID for others).
std::span<const BYTE> digestInfoPrefix(ALG_ID algid);

} // namespace providers
