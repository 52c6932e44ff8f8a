#include "providers/core/ProviderModule.h"

#include <new>

namespace providers {

ProviderModule::ProviderModule(Factory factory) noexcept
    : factory_(std::move(factory)), lastHandle_(0) {}

ProviderModule::~ProviderModule() = default;

std::size_t ProviderModule::contextCount() const {
    std::lock_guard lock(mutex_);
    return contexts_.size();
}

template <typename Operation>
BOOL ProviderModule::run(Operation&& operation) noexcept {
    try {
        std::lock_guard lock(mutex_);
        operation();
        return TRUE;
    } catch (const ProviderError& error) {
        SetLastError(error.code());
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(NTE_NO_MEMORY));
    } catch (...) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
    }
    return FALSE;
}

Provider& ProviderModule::provider() {
    if (!provider_) {
        if (factory_)
            provider_ = factory_();
        if (!provider_)
            fail(NTE_PROVIDER_DLL_FAIL);
    }
    return *provider_;
}

ULONG_PTR ProviderModule::newHandle() {
    // Never reused within the process, so a stale handle can never name a newer object.
    return ++lastHandle_;
}

ProviderModule::Entry& ProviderModule::entry(HCRYPTPROV hProv) {
    const auto found = contexts_.find(hProv);
    if (found == contexts_.end())
        fail(NTE_BAD_UID);
    return found->second;
}

Key& ProviderModule::key(Entry& entry, HCRYPTKEY hKey) {
    const auto found = entry.keys.find(hKey);
    if (found == entry.keys.end())
        fail(NTE_BAD_KEY);
    return *found->second;
}

HashObject& ProviderModule::hash(Entry& entry, HCRYPTHASH hHash) {
    const auto found = entry.hashes.find(hHash);
    if (found == entry.hashes.end())
        fail(NTE_BAD_HASH);
    return *found->second;
}

HCRYPTKEY ProviderModule::addKey(Entry& entry, std::unique_ptr<Key> key) {
    if (!key)
        fail(NTE_FAIL);
    const HCRYPTKEY handle = newHandle();
    entry.keys.emplace(handle, std::move(key));
    return handle;
}

BOOL ProviderModule::acquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                                    PVTableProvStruc pVTable) noexcept {
    return run([&] {
        if (phProv == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        std::unique_ptr<Context> context = provider().acquireContext(szContainer, dwFlags, pVTable);
        if (!context) {
            *phProv = 0;
            return;
        }
        const HCRYPTPROV handle = newHandle();
        contexts_[handle].context = std::move(context);
        *phProv = handle;
    });
}

BOOL ProviderModule::releaseContext(HCRYPTPROV hProv, DWORD dwFlags) noexcept {
    return run([&] {
        const auto found = contexts_.find(hProv);
        if (found == contexts_.end())
            fail(NTE_BAD_UID);
        // As on Windows, non-zero flags are reported but the context is released all the same.
        contexts_.erase(found);
        if (dwFlags != 0)
            fail(NTE_BAD_FLAGS);
    });
}

BOOL ProviderModule::getProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                  DWORD* pcbDataLen, DWORD dwFlags) noexcept {
    return run([&] {
        entry(hProv).context->getProvParam(dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL ProviderModule::setProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                  DWORD dwFlags) noexcept {
    return run([&] { entry(hProv).context->setProvParam(dwParam, pbData, dwFlags); });
}

BOOL ProviderModule::genKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags,
                            HCRYPTKEY* phKey) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        if (phKey == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        *phKey = addKey(e, e.context->generateKey(Algid, dwFlags));
    });
}

BOOL ProviderModule::getUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,
                                HCRYPTKEY* phUserKey) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        if (phUserKey == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        *phUserKey = addKey(e, e.context->userKey(dwKeySpec));
    });
}

BOOL ProviderModule::destroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        if (e.keys.erase(hKey) == 0)
            fail(NTE_BAD_KEY);
    });
}

BOOL ProviderModule::exportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey,
                               DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                               DWORD* pcbDataLen) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        Key& exported = key(e, hKey);
        Key* wrapping = hPubKey != 0 ? &key(e, hPubKey) : nullptr;
        if (pcbDataLen == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        copyOut(e.context->exportKey(exported, wrapping, dwBlobType, dwFlags), pbData, pcbDataLen);
    });
}

BOOL ProviderModule::importKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen,
                               HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        Key* unwrapping = hPubKey != 0 ? &key(e, hPubKey) : nullptr;
        if (phKey == nullptr || pbData == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        *phKey = addKey(e, e.context->importKey(inputBytes(pbData, cbDataLen), unwrapping, dwFlags));
    });
}

BOOL ProviderModule::getKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                 DWORD* pcbDataLen, DWORD dwFlags) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        e.context->getKeyParam(key(e, hKey), dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL ProviderModule::createHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                HCRYPTHASH* phHash) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        Key* hashKey = hKey != 0 ? &key(e, hKey) : nullptr;
        if (phHash == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        std::unique_ptr<HashObject> object = e.context->createHash(Algid, hashKey, dwFlags);
        if (!object)
            fail(NTE_FAIL);
        const HCRYPTHASH handle = newHandle();
        e.hashes.emplace(handle, std::move(object));
        *phHash = handle;
    });
}

BOOL ProviderModule::hashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData,
                              DWORD cbDataLen, DWORD dwFlags) noexcept {
    return run([&] {
        HashObject& object = hash(entry(hProv), hHash);
        if (dwFlags != 0)
            fail(NTE_BAD_FLAGS);
        object.hashData(inputBytes(pbData, cbDataLen));
    });
}

BOOL ProviderModule::getHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                                  BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags) noexcept {
    return run([&] { hash(entry(hProv), hHash).getParam(dwParam, pbData, pcbDataLen, dwFlags); });
}

BOOL ProviderModule::destroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) noexcept {
    return run([&] {
        if (entry(hProv).hashes.erase(hHash) == 0)
            fail(NTE_BAD_HASH);
    });
}

BOOL ProviderModule::signHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                              LPCWSTR /*szDescription: ignored, as by current Windows*/,
                              DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        HashObject& object = hash(e, hHash);
        if (pcbSigLen == nullptr)
            fail(ERROR_INVALID_PARAMETER);
        const DWORD size = e.context->signatureSize(dwKeySpec);
        if (pbSignature == nullptr) {
            *pcbSigLen = size;
            return;
        }
        if (*pcbSigLen < size) {
            *pcbSigLen = size;
            fail(ERROR_MORE_DATA);
        }
        copyOut(e.context->signHash(object, dwKeySpec, dwFlags), pbSignature, pcbSigLen);
    });
}

BOOL ProviderModule::verifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                                     DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR,
                                     DWORD dwFlags) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        HashObject& object = hash(e, hHash);
        Key& publicKey = key(e, hPubKey);
        e.context->verifySignature(object, inputBytes(pbSignature, cbSigLen), publicKey, dwFlags);
    });
}

BOOL ProviderModule::genRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) noexcept {
    return run([&] { entry(hProv).context->generateRandom(pbBuffer, cbLen); });
}

BOOL ProviderModule::encrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen,
                             DWORD cbBufLen) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        Key& encryptionKey = key(e, hKey);
        HashObject* object = hHash != 0 ? &hash(e, hHash) : nullptr;
        e.context->encrypt(encryptionKey, object, fFinal, dwFlags, pbData, pcbDataLen, cbBufLen);
    });
}

BOOL ProviderModule::decrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) noexcept {
    return run([&] {
        Entry& e = entry(hProv);
        Key& decryptionKey = key(e, hKey);
        HashObject* object = hHash != 0 ? &hash(e, hHash) : nullptr;
        if (pcbDataLen == nullptr || (pbData == nullptr && *pcbDataLen != 0))
            fail(ERROR_INVALID_PARAMETER);
        e.context->decrypt(decryptionKey, object, fFinal, dwFlags, pbData, pcbDataLen);
    });
}

} // namespace providers
