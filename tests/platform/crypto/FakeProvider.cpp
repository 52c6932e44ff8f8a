// A provider module for the routing tests: it answers every CP* entry point in the simplest way
// that shows what reached it, and counts calls that carry a handle it never gave out.
#include "FakeProvider.h"

#include <cspdk.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

FakeProviderLog logState;
ULONG_PTR nextHandle = 0x5000;
std::map<HCRYPTPROV, std::string> contexts; // handle -> provider name it was acquired under
std::set<HCRYPTKEY> keys;
std::set<HCRYPTHASH> hashes;

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool knownContext(HCRYPTPROV hProv) {
    if (contexts.count(hProv) != 0)
        return true;
    ++logState.foreignHandles;
    return false;
}
bool knownKey(HCRYPTKEY hKey) {
    if (keys.count(hKey) != 0)
        return true;
    ++logState.foreignHandles;
    return false;
}
bool knownHash(HCRYPTHASH hHash) {
    if (hashes.count(hHash) != 0)
        return true;
    ++logState.foreignHandles;
    return false;
}

// The length-query form: no buffer gives the length, a short one ERROR_MORE_DATA.
BOOL answer(const BYTE* value, DWORD length, BYTE* pbData, DWORD* pcbDataLen) {
    const DWORD room = *pcbDataLen;
    *pcbDataLen = length;
    if (pbData == nullptr)
        return TRUE;
    if (room < length)
        return failWith(ERROR_MORE_DATA);
    std::memcpy(pbData, value, length);
    return TRUE;
}

HCRYPTKEY newKey() {
    HCRYPTKEY key = nextHandle++;
    keys.insert(key);
    ++logState.liveKeys;
    return key;
}

void copyText(char* target, size_t size, const char* text) {
    std::strncpy(target, text != nullptr ? text : "", size - 1);
    target[size - 1] = '\0';
}

} // namespace

extern "C" {

FakeProviderLog* FakeProviderState() {
    return &logState;
}

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                             PVTableProvStruc pVTable) {
    ++logState.acquires;
    logState.version = pVTable->Version;
    logState.provType = pVTable->dwProvType;
    logState.flags = dwFlags;
    copyText(logState.provName, sizeof logState.provName, pVTable->pszProvName);
    logState.containerNull = szContainer == nullptr;
    copyText(logState.container, sizeof logState.container, szContainer);
    if (szContainer != nullptr && std::strcmp(szContainer, kRefusedContainer) == 0)
        return failWith(static_cast<DWORD>(NTE_BAD_KEYSET));
    if (szContainer != nullptr && std::strcmp(szContainer, kSilentFailContainer) == 0)
        return failWith(ERROR_SUCCESS);
    if ((dwFlags & CRYPT_DELETEKEYSET) != 0) {
        *phProv = 0;
        return TRUE;
    }
    *phProv = nextHandle++;
    contexts[*phProv] = pVTable->pszProvName;
    return TRUE;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD) {
    if (!knownContext(hProv))
        return failWith(static_cast<DWORD>(NTE_BAD_UID));
    contexts.erase(hProv);
    ++logState.releases;
    return TRUE;
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                           DWORD) {
    if (!knownContext(hProv))
        return failWith(static_cast<DWORD>(NTE_BAD_UID));
    if (dwParam != PP_NAME)
        return failWith(static_cast<DWORD>(NTE_BAD_TYPE));
    const std::string& name = contexts[hProv];
    return answer(reinterpret_cast<const BYTE*>(name.c_str()), static_cast<DWORD>(name.size() + 1),
                  pbData, pcbDataLen);
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD) {
    if (!knownContext(hProv))
        return failWith(static_cast<DWORD>(NTE_BAD_UID));
    return dwParam == PP_SIGNATURE_PIN && pbData == nullptr ? TRUE
                                                            : failWith(static_cast<DWORD>(NTE_BAD_TYPE));
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID, DWORD, HCRYPTKEY* phKey) {
    if (!knownContext(hProv))
        return failWith(static_cast<DWORD>(NTE_BAD_UID));
    *phKey = newKey();
    return TRUE;
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeyKind, HCRYPTKEY* phUserKey) {
    if (!knownContext(hProv))
        return failWith(static_cast<DWORD>(NTE_BAD_UID));
    if (dwKeyKind != AT_SIGNATURE)
        return failWith(static_cast<DWORD>(NTE_NO_KEY));
    *phUserKey = newKey();
    return TRUE;
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    if (!knownContext(hProv) || !knownKey(hKey))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    keys.erase(hKey);
    --logState.liveKeys;
    return TRUE;
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD, DWORD,
                        BYTE* pbData, DWORD* pcbDataLen) {
    if (!knownContext(hProv) || !knownKey(hKey) || (hPubKey != 0 && !knownKey(hPubKey)))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    const BYTE blob[20] = {0x06, 0x02};
    return answer(blob, sizeof blob, pbData, pcbDataLen);
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                        DWORD, HCRYPTKEY* phKey) {
    if (!knownContext(hProv) || (hPubKey != 0 && !knownKey(hPubKey)))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    logState.importedLength = std::min<DWORD>(cbDataLen, sizeof logState.imported);
    std::memcpy(logState.imported, pbData, logState.importedLength);
    *phKey = newKey();
    return TRUE;
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                          DWORD* pcbDataLen, DWORD) {
    if (!knownContext(hProv) || !knownKey(hKey))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    if (dwParam != KP_CERTIFICATE)
        return failWith(static_cast<DWORD>(NTE_BAD_TYPE));
    BYTE certificate[kFakeCertificateLength];
    std::fill(std::begin(certificate), std::end(certificate), BYTE{0x30});
    return answer(certificate, sizeof certificate, pbData, pcbDataLen);
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID, HCRYPTKEY hKey, DWORD, HCRYPTHASH* phHash) {
    if (!knownContext(hProv) || (hKey != 0 && !knownKey(hKey)))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    *phHash = nextHandle++;
    hashes.insert(*phHash);
    ++logState.liveHashes;
    return TRUE;
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE*, DWORD, DWORD) {
    if (!knownContext(hProv) || !knownHash(hHash))
        return failWith(static_cast<DWORD>(NTE_BAD_HASH));
    return TRUE;
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                           DWORD* pcbDataLen, DWORD) {
    if (!knownContext(hProv) || !knownHash(hHash))
        return failWith(static_cast<DWORD>(NTE_BAD_HASH));
    if (dwParam != HP_HASHVAL)
        return failWith(static_cast<DWORD>(NTE_BAD_TYPE));
    BYTE value[kFakeHashLength];
    std::fill(std::begin(value), std::end(value), BYTE{0x11});
    return answer(value, sizeof value, pbData, pcbDataLen);
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    if (!knownContext(hProv) || !knownHash(hHash))
        return failWith(static_cast<DWORD>(NTE_BAD_HASH));
    hashes.erase(hHash);
    --logState.liveHashes;
    return TRUE;
}

static void recordDescription(LPCWSTR description) {
    logState.descriptionNull = description == nullptr;
    std::fill(std::begin(logState.description), std::end(logState.description), u'\0');
    if (description != nullptr)
        for (size_t i = 0; i + 1 < std::size(logState.description) && description[i] != 0; ++i)
            logState.description[i] = description[i];
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD, LPCWSTR szDescription, DWORD,
                       BYTE* pbSignature, DWORD* pcbSigLen) {
    if (!knownContext(hProv) || !knownHash(hHash))
        return failWith(static_cast<DWORD>(NTE_BAD_HASH));
    recordDescription(szDescription);
    BYTE signature[kFakeSignatureLength];
    for (DWORD i = 0; i < kFakeSignatureLength; ++i)
        signature[i] = static_cast<BYTE>(i);
    return answer(signature, sizeof signature, pbSignature, pcbSigLen);
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE*, DWORD cbSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD) {
    if (!knownContext(hProv) || !knownHash(hHash) || !knownKey(hPubKey))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    recordDescription(szDescription);
    return cbSigLen == kFakeSignatureLength ? TRUE : failWith(static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    if (!knownContext(hProv))
        return failWith(static_cast<DWORD>(NTE_BAD_UID));
    std::fill(pbBuffer, pbBuffer + cbLen, BYTE{0xA5});
    return TRUE;
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL, DWORD,
                      BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    if (!knownContext(hProv) || !knownKey(hKey) || (hHash != 0 && !knownHash(hHash)))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    // A 1024-bit key: the ciphertext is 128 bytes whatever the plaintext.
    *pcbDataLen = kFakeSignatureLength;
    if (pbData == nullptr)
        return TRUE;
    if (cbBufLen < kFakeSignatureLength)
        return failWith(ERROR_MORE_DATA);
    std::fill(pbData, pbData + kFakeSignatureLength, BYTE{0xC3});
    return TRUE;
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL, DWORD,
                      BYTE* pbData, DWORD* pcbDataLen) {
    if (!knownContext(hProv) || !knownKey(hKey) || (hHash != 0 && !knownHash(hHash)))
        return failWith(static_cast<DWORD>(NTE_BAD_KEY));
    if (*pcbDataLen == 0)
        return failWith(static_cast<DWORD>(NTE_BAD_DATA));
    if (pbData[0] == kDecryptScribble) {
        std::fill(pbData, pbData + *pcbDataLen, BYTE{0xEE});
        *pcbDataLen = 1;
        return failWith(static_cast<DWORD>(NTE_BAD_DATA));
    }
    if (pbData[0] == kDecryptGrow) {
        *pcbDataLen += 10;
        return TRUE;
    }
    // "Decryption": the bytes reversed, the last one dropped.
    std::reverse(pbData, pbData + *pcbDataLen);
    *pcbDataLen -= 1;
    return TRUE;
}

} // extern "C"
