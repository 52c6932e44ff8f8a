// The provider interface: what a CryptoAPI provider module exports and what the CryptoAPI layer
// calls, in the Windows form. HCRYPTPROV, HCRYPTKEY and HCRYPTHASH here are the provider's own
// handles; the CryptoAPI layer wraps them in handles of its own for the caller.
#pragma once

#include <wincrypt.h>

typedef struct _VTableProvStruc {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
} VTableProvStruc, *PVTableProvStruc;

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                             PVTableProvStruc pVTable);
BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                           DWORD dwFlags);
BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey);
BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                        DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen);
BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                          DWORD* pcbDataLen, DWORD dwFlags);
BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                         HCRYPTHASH* phHash);
BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                       DWORD dwFlags);
BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                           DWORD* pcbDataLen, DWORD dwFlags);
BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash);
BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                       DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen);
BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                              DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                              DWORD dwFlags);
BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer);
BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                      DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen);
BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                      DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen);

} // extern "C"

// The function types the CryptoAPI layer resolves from a provider module.
using PFN_CPAcquireContext = decltype(&CPAcquireContext);
using PFN_CPReleaseContext = decltype(&CPReleaseContext);
using PFN_CPGetProvParam = decltype(&CPGetProvParam);
using PFN_CPSetProvParam = decltype(&CPSetProvParam);
using PFN_CPGenKey = decltype(&CPGenKey);
using PFN_CPGetUserKey = decltype(&CPGetUserKey);
using PFN_CPDestroyKey = decltype(&CPDestroyKey);
using PFN_CPExportKey = decltype(&CPExportKey);
using PFN_CPImportKey = decltype(&CPImportKey);
using PFN_CPGetKeyParam = decltype(&CPGetKeyParam);
using PFN_CPCreateHash = decltype(&CPCreateHash);
using PFN_CPHashData = decltype(&CPHashData);
using PFN_CPGetHashParam = decltype(&CPGetHashParam);
using PFN_CPDestroyHash = decltype(&CPDestroyHash);
using PFN_CPSignHash = decltype(&CPSignHash);
using PFN_CPVerifySignature = decltype(&CPVerifySignature);
using PFN_CPGenRandom = decltype(&CPGenRandom);
using PFN_CPEncrypt = decltype(&CPEncrypt);
using PFN_CPDecrypt = decltype(&CPDecrypt);
