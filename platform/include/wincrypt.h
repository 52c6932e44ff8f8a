// The CryptoAPI subset (advapi32 and crypt32) with Windows names, values and layouts.
#pragma once

#include <windows.h>

typedef UINT ALG_ID;
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef void* HCERTSTORE;

// Algorithm identifiers.
#define ALG_CLASS_SIGNATURE (1u << 13)
#define ALG_CLASS_HASH (4u << 13)
#define ALG_CLASS_KEY_EXCHANGE (5u << 13)
#define ALG_TYPE_ANY 0u
#define ALG_TYPE_RSA (2u << 9)
#define CALG_MD5 0x00008003u
#define CALG_SHA1 0x00008004u
#define CALG_SHA 0x00008004u
#define CALG_SHA_256 0x0000800Cu
#define CALG_RSA_SIGN 0x00002400u
#define CALG_RSA_KEYX 0x0000A400u

#define PROV_RSA_FULL 1u

// CryptAcquireContext flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u

// CryptGenKey flags (the upper 16 bits carry the key length in bits).
#define CRYPT_EXPORTABLE 0x00000001u
#define CRYPT_USER_PROTECTED 0x00000002u

// Key specs.
#define AT_KEYEXCHANGE 1u
#define AT_SIGNATURE 2u

// CryptGetProvParam / CryptSetProvParam.
#define CRYPT_FIRST 1u
#define CRYPT_NEXT 2u
#define PP_ENUMALGS 1u
#define PP_ENUMCONTAINERS 2u
#define PP_IMPTYPE 3u
#define PP_NAME 4u
#define PP_VERSION 5u
#define PP_CONTAINER 6u
#define PP_PROVTYPE 16u
#define PP_KEYEXCHANGE_PIN 32u
#define PP_SIGNATURE_PIN 33u
#define PP_UNIQUE_CONTAINER 36u

// CryptGetKeyParam.
#define KP_PERMISSIONS 6u
#define KP_ALGID 7u
#define KP_BLOCKLEN 8u
#define KP_KEYLEN 9u
#define KP_CERTIFICATE 26u

// CryptGetHashParam.
#define HP_ALGID 0x0001u
#define HP_HASHVAL 0x0002u
#define HP_HASHSIZE 0x0004u

// Key blobs.
#define SIMPLEBLOB 0x1u
#define PUBLICKEYBLOB 0x6u
#define PRIVATEKEYBLOB 0x7u
#define CUR_BLOB_VERSION 2u

// Certificate encodings and names.
#define CRYPT_ASN_ENCODING 0x00000001u
#define X509_ASN_ENCODING 0x00000001u
#define PKCS_7_ASN_ENCODING 0x00010000u
#define CERT_NAME_EMAIL_TYPE 1u
#define CERT_NAME_RDN_TYPE 2u
#define CERT_NAME_ATTR_TYPE 3u
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4u
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5u
#define CERT_NAME_ISSUER_FLAG 0x1u

#define szOID_RSA_RSA "1.2.840.113549.1.1.1"

typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_OBJID_BLOB, *PCRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_DER_BLOB, *PCRYPT_DER_BLOB;

typedef struct _CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber; // content octets of the DER INTEGER, least significant first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
    DWORD magic; // "RSA1" = 0x31415352
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

static_assert(sizeof(BLOBHEADER) == 8, "BLOBHEADER is 8 bytes");
static_assert(sizeof(RSAPUBKEY) == 12, "RSAPUBKEY is 12 bytes");
static_assert(sizeof(CERT_CONTEXT) == 4 * sizeof(void*) + 8 || sizeof(void*) == 4);

extern "C" {

// advapi32.
BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE* pbData, DWORD* pdwDataLen);
BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                             DWORD dwFlags);
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash);
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen);
BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags);
BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                         DWORD* pdwDataLen, DWORD dwBufLen);
BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                         DWORD* pdwDataLen);

// crypt32.
PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                void* pvTypePara, LPSTR pszNameString, DWORD cchNameString);
// -1 before NotBefore, 1 after NotAfter, 0 within; a null time means now.
LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo);
BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                     PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);

} // extern "C"

#define CryptAcquireContext CryptAcquireContextA
#define CryptSignHash CryptSignHashA
#define CryptVerifySignature CryptVerifySignatureA
#define CertGetNameString CertGetNameStringA
