// The cryptui subset: the certificate dialog, with the Windows structure layout.
#pragma once

#include <wincrypt.h>

struct _CRYPT_PROVIDER_DATA;
struct _PROPSHEETPAGEA;
typedef const struct _PROPSHEETPAGEA* LPCPROPSHEETPAGEA;

// Flags of CRYPTUI_VIEWCERTIFICATE_STRUCTA.dwFlags.
#define CRYPTUI_HIDE_HIERARCHYPAGE 0x00000001u
#define CRYPTUI_HIDE_DETAILPAGE 0x00000002u
#define CRYPTUI_DISABLE_EDITPROPERTIES 0x00000004u
#define CRYPTUI_ENABLE_EDITPROPERTIES 0x00000008u
#define CRYPTUI_DISABLE_ADDTOSTORE 0x00000010u
#define CRYPTUI_ENABLE_ADDTOSTORE 0x00000020u
#define CRYPTUI_ACCEPT_DECLINE_STYLE 0x00000040u
#define CRYPTUI_IGNORE_UNTRUSTED_ROOT 0x00000080u
#define CRYPTUI_DONT_OPEN_STORES 0x00000100u
#define CRYPTUI_ONLY_OPEN_ROOT_STORE 0x00000200u
#define CRYPTUI_WARN_UNTRUSTED_ROOT 0x00000400u
#define CRYPTUI_ENABLE_REVOCATION_CHECKING 0x00000800u
#define CRYPTUI_WARN_REMOTE_TRUST 0x00001000u
#define CRYPTUI_DISABLE_EXPORT 0x00002000u

typedef struct tagCRYPTUI_VIEWCERTIFICATE_STRUCTA {
    DWORD dwSize;
    HWND hwndParent;
    DWORD dwFlags;
    LPCSTR szTitle;
    PCCERT_CONTEXT pCertContext;
    LPCSTR* rgszPurposes;
    DWORD cPurposes;
    union {
        const struct _CRYPT_PROVIDER_DATA* pCryptProviderData;
        HANDLE hWVTStateData;
    };
    BOOL fpCryptProviderDataTrustedUsage;
    DWORD idxSigner;
    DWORD idxCert;
    BOOL fCounterSigner;
    DWORD idxCounterSigner;
    DWORD cStores;
    HCERTSTORE* rghStores;
    DWORD cPropSheetPages;
    LPCPROPSHEETPAGEA rgPropSheetPages;
    DWORD nStartPage;
} CRYPTUI_VIEWCERTIFICATE_STRUCTA, *PCRYPTUI_VIEWCERTIFICATE_STRUCTA;
typedef const CRYPTUI_VIEWCERTIFICATE_STRUCTA* PCCRYPTUI_VIEWCERTIFICATE_STRUCTA;

// 120 bytes with 64-bit pointers; a 32-bit caller's structure is 72 bytes.
static_assert(sizeof(void*) != 8 || sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTA) == 120,
              "CRYPTUI_VIEWCERTIFICATE_STRUCTA is 120 bytes on 64-bit Windows");

extern "C" {

// Shows the certificate modally over hwndParent. dwSize must be the 64-bit or the 32-bit size
// of the structure; only the fields inside dwSize are read.
BOOL WINAPI CryptUIDlgViewCertificateA(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo,
                                       BOOL* pfPropertiesChanged);

} // extern "C"

#define CryptUIDlgViewCertificate CryptUIDlgViewCertificateA
