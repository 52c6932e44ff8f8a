#include "providers/core/Provider.h"

#include "providers/core/RsaKey.h"

#include <openssl/rand.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace providers {

namespace {
// The CSP interface version a provider reports for PP_VERSION (2.0).
constexpr DWORD providerVersion = 0x00000200;
} // namespace

void Context::getProvParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) {
    switch (param) {
    case PP_NAME:
        copyOutText(provider_.name(), pbData, pcbData);
        return;
    case PP_PROVTYPE:
        copyOutDword(provider_.type(), pbData, pcbData);
        return;
    case PP_VERSION:
        copyOutDword(providerVersion, pbData, pcbData);
        return;
    default:
        (void)flags;
        fail(NTE_BAD_TYPE);
    }
}

void Context::setProvParam(DWORD, const BYTE*, DWORD) {
    fail(NTE_BAD_TYPE);
}

std::unique_ptr<Key> Context::generateKey(ALG_ID, DWORD) {
    fail(NTE_NOT_SUPPORTED);
}

std::unique_ptr<Key> Context::userKey(DWORD) {
    fail(NTE_NO_KEY);
}

std::unique_ptr<Key> Context::importKey(std::span<const BYTE> blob, Key* importKey, DWORD flags) {
    if ((flags & ~CRYPT_EXPORTABLE) != 0)
        fail(NTE_BAD_FLAGS);
    if (importKey != nullptr)
        fail(NTE_BAD_KEY);
    ImportedPublicKey imported = importPublicKeyBlob(blob);
    return std::make_unique<Key>(imported.algid, std::move(imported.key));
}

Bytes Context::exportKey(Key& key, Key* exportKey, DWORD blobType, DWORD flags) {
    if (flags != 0)
        fail(NTE_BAD_FLAGS);
    if (blobType == PRIVATEKEYBLOB)
        fail(NTE_BAD_KEY_STATE);
    if (blobType != PUBLICKEYBLOB)
        fail(NTE_BAD_TYPE);
    if (exportKey != nullptr)
        fail(NTE_BAD_KEY);
    return exportPublicKeyBlob(key.publicKey(), key.algId());
}

void Context::getKeyParam(Key& key, DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) {
    key.getParam(param, pbData, pcbData, flags);
}

std::unique_ptr<HashObject> Context::createHash(ALG_ID algid, Key* key, DWORD flags) {
    if (flags != 0)
        fail(NTE_BAD_FLAGS);
    if (key != nullptr)
        fail(NTE_BAD_KEY);
    return std::make_unique<HashObject>(algid);
}

DWORD Context::signatureSize(DWORD keySpec) {
    return userKey(keySpec)->byteLength();
}

Bytes Context::signHash(HashObject&, DWORD, DWORD) {
    fail(NTE_NO_KEY);
}

void Context::verifySignature(HashObject& hash, std::span<const BYTE> signature, Key& key,
                              DWORD flags) {
    if (flags != 0)
        fail(NTE_BAD_FLAGS);
    const Bytes& digest = hash.value();
    verifyPkcs1Signature(key.publicKey(), hash.digest(), digest, reversedBytes(signature));
}

void Context::encrypt(Key& key, HashObject* hash, BOOL final, DWORD flags, BYTE* pbData,
                      DWORD* pcbDataLen, DWORD cbBufLen) {
    if (pcbDataLen == nullptr)
        fail(ERROR_INVALID_PARAMETER);
    if (flags != 0)
        fail(NTE_BAD_FLAGS);
    // RSA has no streaming form: the whole plaintext comes in one final call.
    if (!final)
        fail(NTE_BAD_DATA);
    const DWORD k = key.byteLength();
    if (pbData == nullptr) {
        *pcbDataLen = k;
        return;
    }
    if (static_cast<std::uint64_t>(*pcbDataLen) + 11 > k)
        fail(NTE_BAD_LEN);
    if (cbBufLen < k) {
        *pcbDataLen = k;
        fail(ERROR_MORE_DATA);
    }
    const std::span<const BYTE> plaintext(pbData, *pcbDataLen);
    const Bytes ciphertext = reversedBytes(encryptPkcs1(key.publicKey(), plaintext));
    // The buffer changes only once nothing can fail any more.
    if (hash != nullptr)
        hash->hashData(plaintext);
    std::memcpy(pbData, ciphertext.data(), ciphertext.size());
    *pcbDataLen = static_cast<DWORD>(ciphertext.size());
}

void Context::decrypt(Key&, HashObject*, BOOL, DWORD, BYTE*, DWORD*) {
    fail(NTE_NO_KEY);
}

void Context::generateRandom(BYTE* buffer, DWORD length) {
    if (length == 0)
        return;
    if (buffer == nullptr)
        fail(ERROR_INVALID_PARAMETER);
    OpenSslErrorMark mark;
    while (length > 0) {
        const int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
        if (RAND_bytes(buffer, chunk) != 1)
            fail(NTE_FAIL);
        buffer += chunk;
        length -= static_cast<DWORD>(chunk);
    }
}

} // namespace providers
