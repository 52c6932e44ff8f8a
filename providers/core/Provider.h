// The provider framework a provider module fills in.
//
// A module derives from Provider (what CPAcquireContext does) and from Context (one acquired
// HCRYPTPROV: its parameters, user keys, signing and decryption). Everything that works the same
// in every provider already has a default here: hash objects, PUBLICKEYBLOB import and export,
// key parameters, software verification and encryption, random bytes. The export glue
// (ProviderModule.h) owns the handle tables and calls these with validated objects only.
//
// Operations fail by throwing ProviderError (fail(NTE_...)); the glue turns that into FALSE and
// the last error.
#pragma once

#include "providers/core/Bytes.h"
#include "providers/core/Error.h"
#include "providers/core/Hash.h"
#include "providers/core/Key.h"

#include <cspdk.h>

#include <memory>
#include <string>

namespace providers {

class Provider;

class Context {
public:
    explicit Context(Provider& provider) : provider_(provider) {}
    virtual ~Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    Provider& provider() const { return provider_; }

    // CPGetProvParam. The default answers PP_NAME (zero-terminated), PP_PROVTYPE and PP_VERSION;
    // other parameters are NTE_BAD_TYPE. Overrides add theirs and fall back to this.
    virtual void getProvParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags);
    // CPSetProvParam. The default refuses every parameter with NTE_BAD_TYPE.
    virtual void setProvParam(DWORD param, const BYTE* pbData, DWORD flags);

    // CPGenKey. The default has nowhere to keep a key: NTE_NOT_SUPPORTED.
    virtual std::unique_ptr<Key> generateKey(ALG_ID algid, DWORD flags);
    // CPGetUserKey. The default has no user keys: NTE_NO_KEY.
    virtual std::unique_ptr<Key> userKey(DWORD keySpec);

    // CPImportKey: a PUBLICKEYBLOB with no import key and flags 0 or CRYPT_EXPORTABLE.
    virtual std::unique_ptr<Key> importKey(std::span<const BYTE> blob, Key* importKey,
                                           DWORD flags);
    // CPExportKey: the PUBLICKEYBLOB of any key (no export key, flags 0). PRIVATEKEYBLOB is
    // NTE_BAD_KEY_STATE (no key here is exportable), other blob types NTE_BAD_TYPE.
    virtual Bytes exportKey(Key& key, Key* exportKey, DWORD blobType, DWORD flags);
    // CPGetKeyParam; the default asks the key.
    virtual void getKeyParam(Key& key, DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags);

    // CPCreateHash: an unkeyed hash (key null, flags 0).
    virtual std::unique_ptr<HashObject> createHash(ALG_ID algid, Key* key, DWORD flags);

    // CPSignHash, in two steps so that a length query costs no token work (and no PIN).
    // signatureSize: the default is the byte length of userKey(keySpec).
    virtual DWORD signatureSize(DWORD keySpec);
    // The signature over `hash` (which the call finishes), least significant byte first.
    // The default has no private keys: NTE_NO_KEY.
    virtual Bytes signHash(HashObject& hash, DWORD keySpec, DWORD flags);

    // CPVerifySignature in software: `signature` comes least significant byte first; it is
    // reversed and checked as PKCS#1 v1.5 over the hash's value. NTE_BAD_SIGNATURE on mismatch.
    virtual void verifySignature(HashObject& hash, std::span<const BYTE> signature, Key& key,
                                 DWORD flags);

    // CPEncrypt in software, RSA PKCS#1 v1.5, fFinal TRUE only, flags 0. `hash`, when given,
    // also hashes the plaintext. pbData null: *pcbDataLen = the ciphertext length. cbBufLen
    // under the modulus length: ERROR_MORE_DATA with that length. A plaintext over k - 11
    // bytes: NTE_BAD_LEN. The ciphertext is written least significant byte first.
    virtual void encrypt(Key& key, HashObject* hash, BOOL final, DWORD flags, BYTE* pbData,
                         DWORD* pcbDataLen, DWORD cbBufLen);
    // CPDecrypt. The default has no private keys: NTE_NO_KEY. Windows leaves the buffer and
    // length as they were when decryption fails; overrides must too.
    virtual void decrypt(Key& key, HashObject* hash, BOOL final, DWORD flags, BYTE* pbData,
                         DWORD* pcbDataLen);

    // CPGenRandom with RAND_bytes.
    virtual void generateRandom(BYTE* buffer, DWORD length);

private:
    Provider& provider_;
};

class Provider {
public:
    Provider(std::string name, DWORD type) : name_(std::move(name)), type_(type) {}
    virtual ~Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    const std::string& name() const { return name_; }
    DWORD type() const { return type_; }

    // CPAcquireContext. A null result means the call succeeded without leaving a context open
    // (CRYPT_DELETEKEYSET); *phProv is then 0.
    virtual std::unique_ptr<Context> acquireContext(LPCSTR container, DWORD flags,
                                                    const VTableProvStruc* vtable) = 0;

private:
    std::string name_;
    DWORD type_;
};

} // namespace providers
