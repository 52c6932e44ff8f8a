// advapi32's CryptoAPI entry points: find the provider module as Windows does, hand out handles
// of this layer's own and route every call to the provider's CP* function.
//
// A handle given to a caller is a number from one counter that is never reused, looked up in a
// table of live objects: a stale, foreign or made-up value is found in no table and refused,
// without ever being dereferenced. Each object holds the provider context it came from, and the
// context holds its loaded module, so keys and hashes keep their provider alive after the caller
// released the context, as on Windows.
#include <cspdk.h>

#include "AnsiText.h"
#include "ProviderLogins.h"

#include "platform/AsciiCase.h"
#include "platform/ModuleLoader.h"
#include "platform/Registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kProviderKeyPrefix = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
constexpr const char* kProviderTypeKeyPrefix =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type ";
constexpr DWORD kMaxProviderType = 999;

// Fails a call with this error; a provider that failed without setting one reports NTE_FAIL.
BOOL fail(DWORD error) {
    SetLastError(error != ERROR_SUCCESS ? error : static_cast<DWORD>(NTE_FAIL));
    return FALSE;
}

// The provider's own failure, with its last error kept (or NTE_FAIL when it set none).
BOOL providerResult(BOOL result) {
    if (result)
        return TRUE;
    return fail(GetLastError());
}

struct ProviderModule {
    platform::ModulePtr module;
    PFN_CPAcquireContext acquireContext = nullptr;
    PFN_CPReleaseContext releaseContext = nullptr;
    PFN_CPGetProvParam getProvParam = nullptr;
    PFN_CPSetProvParam setProvParam = nullptr;
    PFN_CPGenKey genKey = nullptr;
    PFN_CPGetUserKey getUserKey = nullptr;
    PFN_CPDestroyKey destroyKey = nullptr;
    PFN_CPExportKey exportKey = nullptr;
    PFN_CPImportKey importKey = nullptr;
    PFN_CPGetKeyParam getKeyParam = nullptr;
    PFN_CPCreateHash createHash = nullptr;
    PFN_CPHashData hashData = nullptr;
    PFN_CPGetHashParam getHashParam = nullptr;
    PFN_CPDestroyHash destroyHash = nullptr;
    PFN_CPSignHash signHash = nullptr;
    PFN_CPVerifySignature verifySignature = nullptr;
    PFN_CPGenRandom genRandom = nullptr;
    PFN_CPEncrypt encrypt = nullptr;
    PFN_CPDecrypt decrypt = nullptr;
    // Optional: a provider that keeps a token login.
    PFN_KorvanCspTakeLogin takeLogin = nullptr;
    PFN_KorvanCspEndLogin endLogin = nullptr;
};

template <typename F>
bool resolve(const platform::ModulePtr& module, const char* name, F& out) {
    out = reinterpret_cast<F>(platform::moduleSymbol(module.get(), name));
    return out != nullptr;
}

bool resolveAll(ProviderModule& p) {
    const platform::ModulePtr& m = p.module;
    return resolve(m, "CPAcquireContext", p.acquireContext) &&
           resolve(m, "CPReleaseContext", p.releaseContext) &&
           resolve(m, "CPGetProvParam", p.getProvParam) &&
           resolve(m, "CPSetProvParam", p.setProvParam) && resolve(m, "CPGenKey", p.genKey) &&
           resolve(m, "CPGetUserKey", p.getUserKey) && resolve(m, "CPDestroyKey", p.destroyKey) &&
           resolve(m, "CPExportKey", p.exportKey) && resolve(m, "CPImportKey", p.importKey) &&
           resolve(m, "CPGetKeyParam", p.getKeyParam) &&
           resolve(m, "CPCreateHash", p.createHash) && resolve(m, "CPHashData", p.hashData) &&
           resolve(m, "CPGetHashParam", p.getHashParam) &&
           resolve(m, "CPDestroyHash", p.destroyHash) && resolve(m, "CPSignHash", p.signHash) &&
           resolve(m, "CPVerifySignature", p.verifySignature) &&
           resolve(m, "CPGenRandom", p.genRandom) && resolve(m, "CPEncrypt", p.encrypt) &&
           resolve(m, "CPDecrypt", p.decrypt);
}

// One acquired provider context. The provider's handle is released when the last holder (the
// caller's context handle, or a key or hash made in it) lets go.
struct ProviderContext {
    std::shared_ptr<ProviderModule> provider;
    HCRYPTPROV handle = 0;
    bool released = false;

    ProviderContext(std::shared_ptr<ProviderModule> p, HCRYPTPROV h)
        : provider(std::move(p)), handle(h) {}
    ProviderContext(const ProviderContext&) = delete;
    ProviderContext& operator=(const ProviderContext&) = delete;
    ~ProviderContext() {
        if (!released) {
            // Nobody is left to see the result; the caller's last error stays as it was.
            const DWORD error = GetLastError();
            provider->releaseContext(handle, 0);
            SetLastError(error);
        }
    }
};

using ContextPtr = std::shared_ptr<ProviderContext>;

// A key or hash: the provider's handle and the context it belongs to.
struct ProviderObject {
    ContextPtr context;
    ULONG_PTR handle = 0;
};

class HandleTables {
public:
    // Never destroyed: at exit nothing is released, as on Windows, so no provider is called
    // while the process tears its modules down.
    static HandleTables& instance() {
        static HandleTables* tables = new HandleTables;
        return *tables;
    }

    ULONG_PTR addContext(ContextPtr context) {
        std::lock_guard lock(mutex_);
        const ULONG_PTR value = next();
        contexts_.emplace(value, std::move(context));
        return value;
    }
    ULONG_PTR addObject(bool isKey, ProviderObject object) {
        std::lock_guard lock(mutex_);
        const ULONG_PTR value = next();
        (isKey ? keys_ : hashes_).emplace(value, std::move(object));
        return value;
    }

    ContextPtr context(ULONG_PTR value) {
        std::lock_guard lock(mutex_);
        auto it = contexts_.find(value);
        return it != contexts_.end() ? it->second : nullptr;
    }
    std::optional<ProviderObject> object(bool isKey, ULONG_PTR value) {
        std::lock_guard lock(mutex_);
        auto& table = isKey ? keys_ : hashes_;
        auto it = table.find(value);
        if (it == table.end())
            return std::nullopt;
        return it->second;
    }

    // Removes the entry and hands it to the caller, so it is let go outside the lock.
    ContextPtr takeContext(ULONG_PTR value) {
        std::lock_guard lock(mutex_);
        auto it = contexts_.find(value);
        if (it == contexts_.end())
            return nullptr;
        ContextPtr context = std::move(it->second);
        contexts_.erase(it);
        return context;
    }
    std::optional<ProviderObject> takeObject(bool isKey, ULONG_PTR value) {
        std::lock_guard lock(mutex_);
        auto& table = isKey ? keys_ : hashes_;
        auto it = table.find(value);
        if (it == table.end())
            return std::nullopt;
        ProviderObject object = std::move(it->second);
        table.erase(it);
        return object;
    }

    // The loaded module of a provider name, while any context of it lives.
    std::shared_ptr<ProviderModule> loadedModule(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = modules_.find(key);
        return it != modules_.end() ? it->second.lock() : nullptr;
    }
    // Keeps the module already recorded when another thread loaded it first.
    std::shared_ptr<ProviderModule> recordModule(const std::string& key,
                                                 std::shared_ptr<ProviderModule> module) {
        std::lock_guard lock(mutex_);
        std::weak_ptr<ProviderModule>& slot = modules_[key];
        if (auto existing = slot.lock())
            return existing;
        slot = module;
        return module;
    }

    // A provider that keeps a login stays loaded for the process, so that it can always be
    // told to end it.
    void keepForLogins(std::shared_ptr<ProviderModule> module) {
        std::lock_guard lock(mutex_);
        if (std::find(loginHolders_.begin(), loginHolders_.end(), module) == loginHolders_.end())
            loginHolders_.push_back(std::move(module));
    }
    std::vector<std::shared_ptr<ProviderModule>> loginHolders() {
        std::lock_guard lock(mutex_);
        return loginHolders_;
    }

private:
    // Handles are distinct across all three kinds, so a key passed as a context (or the
    // reverse) is refused too. Odd values never equal an aligned pointer.
    ULONG_PTR next() {
        counter_ += 2;
        return counter_;
    }

    std::mutex mutex_;
    ULONG_PTR counter_ = 0x10001;
    std::map<ULONG_PTR, ContextPtr> contexts_;
    std::map<ULONG_PTR, ProviderObject> keys_;
    std::map<ULONG_PTR, ProviderObject> hashes_;
    std::map<std::string, std::weak_ptr<ProviderModule>> modules_;
    std::vector<std::shared_ptr<ProviderModule>> loginHolders_;
};

HandleTables& tables() {
    return HandleTables::instance();
}

// Provider names are compared in ASCII only, whatever the locale.
std::string lowerCase(std::string_view text) {
    return platform::asciiLowered(text);
}

// The provider's registry entry, as Windows keeps it under HKEY_LOCAL_MACHINE.
struct ProviderEntry {
    std::string name;
    std::string imagePath;
};

// Looks up a provider by name; fails with the error Windows gives for the entry's fault.
std::optional<ProviderEntry> providerEntry(const std::string& name, DWORD provType, DWORD& error) {
    // A backslash would make the name a path to some other key.
    if (name.empty() || name.find('\\') != std::string::npos) {
        error = static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
        return std::nullopt;
    }
    auto key = platform::RegistryKey::open(platform::RegistryRoot::LocalMachine,
                                           std::string(kProviderKeyPrefix) + name);
    if (!key) {
        error = static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
        return std::nullopt;
    }
    std::optional<uint32_t> type = key->dwordValue("Type");
    if (!type) {
        error = static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
        return std::nullopt;
    }
    if (*type != provType) {
        error = static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH);
        return std::nullopt;
    }
    std::optional<std::string> image = key->stringValue("Image Path");
    if (!image || image->empty()) {
        error = static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND);
        return std::nullopt;
    }
    return ProviderEntry{name, *image};
}

// The name of the default provider of a type ("Type 001").
std::optional<std::string> defaultProviderName(DWORD provType) {
    char number[8];
    std::snprintf(number, sizeof number, "%03u", static_cast<unsigned>(provType));
    auto key = platform::RegistryKey::open(platform::RegistryRoot::LocalMachine,
                                           std::string(kProviderTypeKeyPrefix) + number);
    if (!key)
        return std::nullopt;
    std::optional<std::string> name = key->stringValue("Name");
    if (!name || name->empty())
        return std::nullopt;
    return name;
}

std::shared_ptr<ProviderModule> loadProvider(const ProviderEntry& entry, DWORD& error) {
    const std::string key = lowerCase(entry.name);
    if (auto loaded = tables().loadedModule(key))
        return loaded;
    auto provider = std::make_shared<ProviderModule>();
    provider->module.reset(platform::loadModule(entry.imagePath.c_str()));
    if (!provider->module) {
        error = static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND);
        return nullptr;
    }
    if (!resolveAll(*provider)) {
        error = static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
        return nullptr;
    }
    const bool holdsLogins = resolve(provider->module, "KorvanCspTakeLogin", provider->takeLogin) &
                             resolve(provider->module, "KorvanCspEndLogin", provider->endLogin);
    std::shared_ptr<ProviderModule> recorded = tables().recordModule(key, std::move(provider));
    if (holdsLogins && recorded->takeLogin && recorded->endLogin)
        tables().keepForLogins(recorded);
    return recorded;
}

// What the provider may call back: it verifies no image and has no window to own its dialogs.
BOOL WINAPI verifyImage(LPCSTR, BYTE*) {
    return TRUE;
}
void WINAPI returnNoWindow(HWND* window) {
    if (window != nullptr)
        *window = nullptr;
}

// FARPROC is the untyped form; void(*)() is the cast GCC accepts between function types.
template <typename F>
FARPROC asFarProc(F function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// A key or hash of the caller, or an error.
std::optional<ProviderObject> findObject(bool isKey, ULONG_PTR value) {
    std::optional<ProviderObject> object = tables().object(isKey, value);
    if (!object)
        SetLastError(static_cast<DWORD>(isKey ? NTE_BAD_KEY : NTE_BAD_HASH));
    return object;
}

// An optional second handle of a call (0 = none) that must come from the same context.
bool optionalPartner(bool isKey, ULONG_PTR value, const ContextPtr& context, ULONG_PTR& inner) {
    inner = 0;
    if (value == 0)
        return true;
    std::optional<ProviderObject> object = findObject(isKey, value);
    if (!object)
        return false;
    if (object->context != context) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return false;
    }
    inner = object->handle;
    return true;
}

ContextPtr findContext(HCRYPTPROV hProv) {
    ContextPtr context = tables().context(hProv);
    if (!context)
        SetLastError(static_cast<DWORD>(NTE_BAD_UID));
    return context;
}

// Has the provider make a key or hash (make(&inner)) and gives the caller a handle of it.
template <typename Make>
BOOL makeObject(bool isKey, const ContextPtr& context, ULONG_PTR* out, Make make) {
    *out = 0;
    ULONG_PTR inner = 0;
    if (!make(&inner))
        return providerResult(FALSE);
    *out = tables().addObject(isKey, ProviderObject{context, inner});
    return TRUE;
}

} // namespace

extern "C" {

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags) {
    try {
        if (phProv == nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        *phProv = 0;
        if (dwProvType == 0 || dwProvType > kMaxProviderType)
            return fail(static_cast<DWORD>(NTE_BAD_PROV_TYPE));

        std::string name;
        if (szProvider != nullptr) {
            name = szProvider;
        } else {
            std::optional<std::string> defaultName = defaultProviderName(dwProvType);
            if (!defaultName)
                return fail(static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
            name = *defaultName;
        }
        DWORD error = ERROR_SUCCESS;
        std::optional<ProviderEntry> entry = providerEntry(name, dwProvType, error);
        if (!entry)
            return fail(error);
        std::shared_ptr<ProviderModule> provider = loadProvider(*entry, error);
        if (!provider)
            return fail(error);

        VTableProvStruc vtable{};
        vtable.Version = 3;
        vtable.FuncVerifyImage = asFarProc(&verifyImage);
        vtable.FuncReturnhWnd = asFarProc(&returnNoWindow);
        vtable.dwProvType = dwProvType;
        vtable.pbContextInfo = nullptr;
        vtable.cbContextInfo = 0;
        vtable.pszProvName = entry->name.data();

        HCRYPTPROV inner = 0;
        if (!provider->acquireContext(&inner, szContainer, dwFlags, &vtable))
            return providerResult(FALSE);
        // A deleted key set leaves no context to hold.
        if ((dwFlags & CRYPT_DELETEKEYSET) != 0)
            return TRUE;
        *phProv = tables().addContext(std::make_shared<ProviderContext>(provider, inner));
        return TRUE;
    } catch (...) {
        return fail(static_cast<DWORD>(NTE_NO_MEMORY));
    }
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    ContextPtr context = tables().takeContext(hProv);
    if (!context)
        return fail(static_cast<DWORD>(NTE_BAD_UID));
    // As on Windows the context is gone even when the flags are refused.
    const DWORD flagsError = dwFlags != 0 ? static_cast<DWORD>(NTE_BAD_FLAGS) : ERROR_SUCCESS;
    // Keys and hashes made in the context keep it; the provider releases it after the last.
    if (context.use_count() > 1)
        return flagsError != ERROR_SUCCESS ? fail(flagsError) : TRUE;
    context->released = true;
    const BOOL result = context->provider->releaseContext(context->handle, 0);
    if (!result)
        return providerResult(FALSE);
    return flagsError != ERROR_SUCCESS ? fail(flagsError) : TRUE;
}

BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    return providerResult(
        context->provider->setProvParam(context->handle, dwParam, pbData, dwFlags));
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    if (pdwDataLen == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(
        context->provider->getProvParam(context->handle, dwParam, pbData, pdwDataLen, dwFlags));
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    if (phUserKey == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return makeObject(true, context, phUserKey, [&](HCRYPTKEY* inner) {
        return context->provider->getUserKey(context->handle, dwKeySpec, inner);
    });
}

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    if (phKey == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return makeObject(true, context, phKey, [&](HCRYPTKEY* inner) {
        return context->provider->genKey(context->handle, Algid, dwFlags, inner);
    });
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    std::optional<ProviderObject> key = tables().takeObject(true, hKey);
    if (!key)
        return fail(ERROR_INVALID_HANDLE);
    return providerResult(key->context->provider->destroyKey(key->context->handle, key->handle));
}

BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE* pbData, DWORD* pdwDataLen) {
    std::optional<ProviderObject> key = findObject(true, hKey);
    if (!key)
        return FALSE;
    HCRYPTKEY exchange = 0;
    if (!optionalPartner(true, hExpKey, key->context, exchange))
        return FALSE;
    if (pdwDataLen == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(key->context->provider->exportKey(
        key->context->handle, key->handle, exchange, dwBlobType, dwFlags, pbData, pdwDataLen));
}

BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY* phKey) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    HCRYPTKEY unwrap = 0;
    if (!optionalPartner(true, hPubKey, context, unwrap))
        return FALSE;
    if (pbData == nullptr || dwDataLen == 0 || phKey == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return makeObject(true, context, phKey, [&](HCRYPTKEY* inner) {
        return context->provider->importKey(context->handle, pbData, dwDataLen, unwrap, dwFlags, inner);
    });
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                             DWORD dwFlags) {
    std::optional<ProviderObject> key = findObject(true, hKey);
    if (!key)
        return FALSE;
    if (pdwDataLen == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(key->context->provider->getKeyParam(key->context->handle, key->handle,
                                                              dwParam, pbData, pdwDataLen, dwFlags));
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    HCRYPTKEY key = 0;
    if (!optionalPartner(true, hKey, context, key))
        return FALSE;
    if (phHash == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return makeObject(false, context, phHash, [&](HCRYPTHASH* inner) {
        return context->provider->createHash(context->handle, Algid, key, dwFlags, inner);
    });
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    std::optional<ProviderObject> hash = findObject(false, hHash);
    if (!hash)
        return FALSE;
    if (pbData == nullptr && dwDataLen != 0)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(hash->context->provider->hashData(hash->context->handle, hash->handle,
                                                            pbData, dwDataLen, dwFlags));
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags) {
    std::optional<ProviderObject> hash = findObject(false, hHash);
    if (!hash)
        return FALSE;
    if (pdwDataLen == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(hash->context->provider->getHashParam(
        hash->context->handle, hash->handle, dwParam, pbData, pdwDataLen, dwFlags));
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    std::optional<ProviderObject> hash = tables().takeObject(false, hHash);
    if (!hash)
        return fail(ERROR_INVALID_HANDLE);
    return providerResult(
        hash->context->provider->destroyHash(hash->context->handle, hash->handle));
}

BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen) {
    try {
        std::optional<ProviderObject> hash = findObject(false, hHash);
        if (!hash)
            return FALSE;
        if (pdwSigLen == nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        const std::u16string description = crypto::ansiToWide(szDescription);
        return providerResult(hash->context->provider->signHash(
            hash->context->handle, hash->handle, dwKeySpec,
            szDescription != nullptr ? description.c_str() : nullptr, dwFlags, pbSignature,
            pdwSigLen));
    } catch (...) {
        return fail(static_cast<DWORD>(NTE_NO_MEMORY));
    }
}

BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags) {
    try {
        std::optional<ProviderObject> hash = findObject(false, hHash);
        if (!hash)
            return FALSE;
        std::optional<ProviderObject> key = findObject(true, hPubKey);
        if (!key)
            return FALSE;
        if (key->context != hash->context)
            return fail(static_cast<DWORD>(NTE_BAD_KEY));
        if (pbSignature == nullptr && dwSigLen != 0)
            return fail(ERROR_INVALID_PARAMETER);
        const std::u16string description = crypto::ansiToWide(szDescription);
        return providerResult(hash->context->provider->verifySignature(
            hash->context->handle, hash->handle, pbSignature, dwSigLen, key->handle,
            szDescription != nullptr ? description.c_str() : nullptr, dwFlags));
    } catch (...) {
        return fail(static_cast<DWORD>(NTE_NO_MEMORY));
    }
}

BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    ContextPtr context = findContext(hProv);
    if (!context)
        return FALSE;
    if (pbBuffer == nullptr && dwLen != 0)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(context->provider->genRandom(context->handle, dwLen, pbBuffer));
}

BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                         DWORD* pdwDataLen, DWORD dwBufLen) {
    std::optional<ProviderObject> key = findObject(true, hKey);
    if (!key)
        return FALSE;
    HCRYPTHASH hash = 0;
    if (!optionalPartner(false, hHash, key->context, hash))
        return FALSE;
    if (pdwDataLen == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return providerResult(key->context->provider->encrypt(key->context->handle, key->handle, hash,
                                                          Final, dwFlags, pbData, pdwDataLen,
                                                          dwBufLen));
}

BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                         DWORD* pdwDataLen) {
    try {
        std::optional<ProviderObject> key = findObject(true, hKey);
        if (!key)
            return FALSE;
        HCRYPTHASH hash = 0;
        if (!optionalPartner(false, hHash, key->context, hash))
            return FALSE;
        if (pdwDataLen == nullptr || (pbData == nullptr && *pdwDataLen != 0))
            return fail(ERROR_INVALID_PARAMETER);
        // The provider works on a copy: a failed call leaves the caller's bytes and length as
        // they were, so the caller can retry in place.
        const DWORD length = *pdwDataLen;
        std::vector<BYTE> work(pbData, pbData + length);
        DWORD workLength = length;
        const BOOL result = key->context->provider->decrypt(
            key->context->handle, key->handle, hash, Final, dwFlags, work.data(), &workLength);
        if (!result) {
            const DWORD error = GetLastError();
            std::fill(work.begin(), work.end(), BYTE{0});
            return fail(error);
        }
        // Decryption never grows the data; a provider claiming more wrote past the buffer.
        if (workLength > length) {
            std::fill(work.begin(), work.end(), BYTE{0});
            return fail(static_cast<DWORD>(NTE_BAD_LEN));
        }
        std::copy(work.begin(), work.begin() + workLength, pbData);
        std::fill(work.begin(), work.end(), BYTE{0});
        *pdwDataLen = workLength;
        return TRUE;
    } catch (...) {
        return fail(static_cast<DWORD>(NTE_NO_MEMORY));
    }
}

BOOL korvanTakeProviderLogin(DWORD* msAgo) {
    bool any = false;
    DWORD newest = 0;
    for (const auto& provider : tables().loginHolders()) {
        DWORD ago = 0;
        if (provider->takeLogin(&ago) && (!any || ago < newest)) {
            newest = ago;
            any = true;
        }
    }
    if (msAgo != nullptr)
        *msAgo = newest;
    return any ? TRUE : FALSE;
}

BOOL korvanEndProviderLogins() {
    bool all = true;
    for (const auto& provider : tables().loginHolders())
        all = provider->endLogin() && all;
    return all ? TRUE : FALSE;
}

} // extern "C"
