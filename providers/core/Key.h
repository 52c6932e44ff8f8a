// A key object behind an HCRYPTKEY: an RSA public key with its ALG_ID. Token providers derive
// from it for key pairs that live on the token (their private half never leaves it).
#pragma once

#include "providers/core/Bytes.h"
#include "providers/core/OpenSsl.h"

#include <wincrypt.h>

namespace providers {

class Key {
public:
    // `publicKey` must hold an RSA key; algid is CALG_RSA_SIGN or CALG_RSA_KEYX.
    Key(ALG_ID algid, EvpPkeyPtr publicKey);
    virtual ~Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    ALG_ID algId() const { return algid_; }
    EVP_PKEY* publicKey() const { return publicKey_.get(); }
    DWORD bitLength() const;
    DWORD byteLength() const;

    // CPGetKeyParam: KP_ALGID, KP_KEYLEN and KP_BLOCKLEN (both in bits, as for RSA on Windows),
    // DWORDs with the length-query forms of copyOut. Others are NTE_BAD_TYPE; a derived key adds
    // its own (KP_CERTIFICATE) and falls back to this one.
    virtual void getParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) const;

private:
    ALG_ID algid_;
    EvpPkeyPtr publicKey_;
};

} // namespace providers
