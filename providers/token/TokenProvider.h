// The token provider: CryptoAPI contexts over the key containers of the token in the first slot
// that holds one. The private key work (signing, decryption, key generation) runs on the token
// through PKCS#11; the public-key work is the core's, in software.
#pragma once

#include "providers/core/Provider.h"

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace providers::token {

class TokenProvider : public Provider {
public:
    TokenProvider();
    std::unique_ptr<Context> acquireContext(LPCSTR container, DWORD flags,
                                            const VTableProvStruc* vtable) override;

private:
    std::unique_ptr<Context> deleteKeyset(LPCSTR container, bool silent);
};

// A container's key pair: its public half in software, its private half on the token.
class TokenKey : public Key {
public:
    TokenKey(ALG_ID algid, EvpPkeyPtr publicKey, std::uint64_t generation, std::string container);

    std::uint64_t generation() const { return generation_; }
    const std::string& container() const { return container_; }

    // Adds KP_CERTIFICATE: the DER of the container's certificate object (NTE_NOT_FOUND without
    // one). The bytes are given as the token holds them; a damaged certificate is the caller's
    // decoding error.
    void getParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) const override;

private:
    std::uint64_t generation_;
    std::string container_;
};

class TokenContext : public Context {
public:
    // generation 0: a verification context, which reaches the token only for what needs it.
    TokenContext(Provider& provider, std::uint64_t generation, std::string container, bool silent);

    void getProvParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) override;
    void setProvParam(DWORD param, const BYTE* pbData, DWORD flags) override;
    std::unique_ptr<Key> generateKey(ALG_ID algid, DWORD flags) override;
    std::unique_ptr<Key> userKey(DWORD keySpec) override;
    DWORD signatureSize(DWORD keySpec) override;
    Bytes signHash(HashObject& hash, DWORD keySpec, DWORD flags) override;
    void decrypt(Key& key, HashObject* hash, BOOL final, DWORD flags, BYTE* pbData,
                 DWORD* pcbDataLen) override;

private:
    std::uint64_t generation();
    void requireContainer() const;
    void loginForPrivateKey();
    CK_OBJECT_HANDLE privateKey(const std::string& container);

    std::uint64_t generation_;
    std::string container_; // empty: none (an empty token, or a verification context)
    bool silent_;
    std::optional<DWORD> keyBytes_; // the container key's modulus length, once known
    std::vector<std::string> enumeration_;
    std::size_t enumerationPosition_ = 0;
    bool enumerationStarted_ = false;
};

// The simple display name of a DER certificate: common name, else organizational unit,
// organization, e-mail address, else the first subject attribute; empty when it does not decode.
std::string certificateDisplayName(const Bytes& der);

} // namespace providers::token
