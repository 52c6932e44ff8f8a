// The CP* export glue. A provider module holds one ProviderModule over its Provider and defines
// its 19 exports with KORVAN_PROVIDER_EXPORTS in one source file:
//
//     #include "providers/core/ProviderModule.h"
//     KORVAN_PROVIDER_EXPORTS(std::make_unique<MyProvider>())
//
// The expression runs once, at the first call, and gives a std::unique_ptr<Provider>. The
// instance is never destroyed: at process exit the CryptoAPI layer may still release contexts
// and keys after this module's own static objects are gone. ProviderModule keeps the handle tables: a
// context owns the keys and hashes made through it, a handle is looked up before use (a value
// the module never gave out is NTE_BAD_UID, NTE_BAD_KEY or NTE_BAD_HASH and is never
// dereferenced), and releasing a context destroys its keys and hashes as Windows does. Every
// call runs under one lock and catches everything; failures set the last error and return FALSE.
#pragma once

#include "providers/core/Provider.h"

#include <cspdk.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace providers {

class ProviderModule {
public:
    using Factory = std::function<std::unique_ptr<Provider>()>;
    // The provider is made at the first call, inside the glue's guard, so that a failing
    // constructor is a failed call and not an exception leaving the module.
    explicit ProviderModule(Factory factory) noexcept;
    ~ProviderModule();
    ProviderModule(const ProviderModule&) = delete;
    ProviderModule& operator=(const ProviderModule&) = delete;

    // Open contexts, for tests and diagnostics.
    std::size_t contextCount() const;

    BOOL acquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                        PVTableProvStruc pVTable) noexcept;
    BOOL releaseContext(HCRYPTPROV hProv, DWORD dwFlags) noexcept;
    BOOL getProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                      DWORD dwFlags) noexcept;
    BOOL setProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) noexcept;
    BOOL genKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) noexcept;
    BOOL getUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) noexcept;
    BOOL destroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) noexcept;
    BOOL exportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                   DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) noexcept;
    BOOL importKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                   DWORD dwFlags, HCRYPTKEY* phKey) noexcept;
    BOOL getKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                     DWORD* pcbDataLen, DWORD dwFlags) noexcept;
    BOOL createHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                    HCRYPTHASH* phHash) noexcept;
    BOOL hashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                  DWORD dwFlags) noexcept;
    BOOL getHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                      DWORD* pcbDataLen, DWORD dwFlags) noexcept;
    BOOL destroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) noexcept;
    BOOL signHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                  DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) noexcept;
    BOOL verifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                         DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                         DWORD dwFlags) noexcept;
    BOOL genRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) noexcept;
    BOOL encrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                 BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) noexcept;
    BOOL decrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                 BYTE* pbData, DWORD* pcbDataLen) noexcept;

private:
    // Members are destroyed in reverse order: hashes, then keys, then the context they came from.
    struct Entry {
        std::unique_ptr<Context> context;
        std::map<HCRYPTKEY, std::unique_ptr<Key>> keys;
        std::map<HCRYPTHASH, std::unique_ptr<HashObject>> hashes;
    };

    Provider& provider();
    Entry& entry(HCRYPTPROV hProv);
    Key& key(Entry& entry, HCRYPTKEY hKey);
    HashObject& hash(Entry& entry, HCRYPTHASH hHash);
    HCRYPTKEY addKey(Entry& entry, std::unique_ptr<Key> key);
    ULONG_PTR newHandle();

    template <typename Operation>
    BOOL run(Operation&& operation) noexcept;

    Factory factory_;
    std::unique_ptr<Provider> provider_;
    mutable std::recursive_mutex mutex_;
    std::map<HCRYPTPROV, Entry> contexts_;
    ULONG_PTR lastHandle_;
};

} // namespace providers

#define KORVAN_PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

// Defines the module's instance and its 19 CP* exports.
#define KORVAN_PROVIDER_EXPORTS(makeProvider)                                                      \
    namespace {                                                                                    \
    ::providers::ProviderModule& korvanProviderModule() {                                          \
        static auto* const module = new ::providers::ProviderModule([] { return makeProvider; }); \
        return *module;                                                                            \
    }                                                                                              \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer,   \
                                                        DWORD dwFlags, PVTableProvStruc pVTable) { \
        return korvanProviderModule().acquireContext(phProv, szContainer, dwFlags, pVTable);      \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {         \
        return korvanProviderModule().releaseContext(hProv, dwFlags);                              \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam,             \
                                                      BYTE* pbData, DWORD* pcbDataLen,             \
                                                      DWORD dwFlags) {                             \
        return korvanProviderModule().getProvParam(hProv, dwParam, pbData, pcbDataLen, dwFlags);  \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam,             \
                                                      const BYTE* pbData, DWORD dwFlags) {         \
        return korvanProviderModule().setProvParam(hProv, dwParam, pbData, dwFlags);               \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags,     \
                                                HCRYPTKEY* phKey) {                                \
        return korvanProviderModule().genKey(hProv, Algid, dwFlags, phKey);                        \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,             \
                                                    HCRYPTKEY* phUserKey) {                        \
        return korvanProviderModule().getUserKey(hProv, dwKeySpec, phUserKey);                    \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {            \
        return korvanProviderModule().destroyKey(hProv, hKey);                                     \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey,               \
                                                   HCRYPTKEY hPubKey, DWORD dwBlobType,            \
                                                   DWORD dwFlags, BYTE* pbData,                    \
                                                   DWORD* pcbDataLen) {                            \
        return korvanProviderModule().exportKey(hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, \
                                                pcbDataLen);                                       \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData,           \
                                                   DWORD cbDataLen, HCRYPTKEY hPubKey,             \
                                                   DWORD dwFlags, HCRYPTKEY* phKey) {              \
        return korvanProviderModule().importKey(hProv, pbData, cbDataLen, hPubKey, dwFlags,        \
                                                phKey);                                            \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey,             \
                                                     DWORD dwParam, BYTE* pbData,                  \
                                                     DWORD* pcbDataLen, DWORD dwFlags) {           \
        return korvanProviderModule().getKeyParam(hProv, hKey, dwParam, pbData, pcbDataLen,        \
                                                  dwFlags);                                        \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid,                \
                                                    HCRYPTKEY hKey, DWORD dwFlags,                 \
                                                    HCRYPTHASH* phHash) {                          \
        return korvanProviderModule().createHash(hProv, Algid, hKey, dwFlags, phHash);             \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash,              \
                                                  const BYTE* pbData, DWORD cbDataLen,             \
                                                  DWORD dwFlags) {                                 \
        return korvanProviderModule().hashData(hProv, hHash, pbData, cbDataLen, dwFlags);          \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash,          \
                                                      DWORD dwParam, BYTE* pbData,                 \
                                                      DWORD* pcbDataLen, DWORD dwFlags) {          \
        return korvanProviderModule().getHashParam(hProv, hHash, dwParam, pbData, pcbDataLen,      \
                                                   dwFlags);                                       \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {         \
        return korvanProviderModule().destroyHash(hProv, hHash);                                   \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash,              \
                                                  DWORD dwKeySpec, LPCWSTR szDescription,          \
                                                  DWORD dwFlags, BYTE* pbSignature,                \
                                                  DWORD* pcbSigLen) {                              \
        return korvanProviderModule().signHash(hProv, hHash, dwKeySpec, szDescription, dwFlags,    \
                                               pbSignature, pcbSigLen);                            \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPVerifySignature(                                          \
        HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,               \
        HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {                                 \
        return korvanProviderModule().verifySignature(hProv, hHash, pbSignature, cbSigLen,         \
                                                      hPubKey, szDescription, dwFlags);            \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen,                  \
                                                   BYTE* pbBuffer) {                               \
        return korvanProviderModule().genRandom(hProv, cbLen, pbBuffer);                           \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey,                 \
                                                 HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,     \
                                                 BYTE* pbData, DWORD* pcbDataLen,                  \
                                                 DWORD cbBufLen) {                                 \
        return korvanProviderModule().encrypt(hProv, hKey, hHash, fFinal, dwFlags, pbData,         \
                                              pcbDataLen, cbBufLen);                               \
    }                                                                                              \
    KORVAN_PROVIDER_EXPORT BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey,                 \
                                                 HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,     \
                                                 BYTE* pbData, DWORD* pcbDataLen) {                \
        return korvanProviderModule().decrypt(hProv, hKey, hHash, fFinal, dwFlags, pbData,         \
                                              pcbDataLen);                                         \
    }
