// The certificate family of MeridiaVaultora and the members that work on it. Texts here are
// ANSI (the system code page); the COM class converts them from and to BSTRs.
#pragma once

#include <wincrypt.h>

#include <optional>
#include <string>

namespace meridia {

inline constexpr const char* kMeridiaProvider = "Vaultora Korvan2001 CSP for Meridia v1.0";

inline constexpr int kMaxContainers = 10;
inline constexpr int kContainerNameSize = 100;
inline constexpr int kCertificateNameSize = 50;
inline constexpr int kSerialTextSize = 50;
// Sized for 4096-bit keys (an RSAPublicKey of 526 bytes, a 512-byte signature) and
// 8,192-byte certificates, each text with its terminator.
inline constexpr int kPublicKeyTextSize = 2 * 600 + 1;
inline constexpr int kCertificateSize = 8192;
inline constexpr int kCertificateContentTextSize = 2 * kCertificateSize + 1;
inline constexpr int kHashTextSize = 50;
inline constexpr int kSignatureTextSize = 2 * 512 + 1;
// The most DecryByPrikey hands back.
inline constexpr DWORD kDecryptedTextLimit = 300;

struct CertFamilyState {
    BOOL online = FALSE;
    BOOL certificateChosen = FALSE;
    BOOL hashReady = FALSE;
    BOOL signatureReady = FALSE;
    DWORD containerCount = 0;
    char containerNames[kMaxContainers][kContainerNameSize] = {};
    char certificateNames[kMaxContainers][kCertificateNameSize] = {};
    char serialTexts[kMaxContainers][kSerialTextSize] = {};
    char publicKeyTexts[kMaxContainers][kPublicKeyTextSize] = {};
    BYTE certificates[kMaxContainers][kCertificateSize] = {};
    DWORD certificateLengths[kMaxContainers] = {};
    char certificateContentTexts[kMaxContainers][kCertificateContentTextSize] = {};
    LONG chosenIndex = 0;
    BOOL dialogConfirmed = FALSE;
    char hashText[kHashTextSize] = {};
    char signatureText[kSignatureTextSize] = {};
};

// The one state of the loaded module.
CertFamilyState& ModuleState();

// Runs the certificate choice modally over the scanned lists; it sets chosenIndex and
// dialogConfirmed (and clears certificateChosen on Cancel). None is installed until the dialog
// of the shared flows is linked in; without one, a choice among several is never confirmed.
using ChoiceDialog = void (*)(CertFamilyState& state);
void SetChoiceDialog(ChoiceDialog dialog);

// Status members: the status in *status, S_OK for status 0 and S_FALSE otherwise.
HRESULT IsOnline(CertFamilyState& state, LONG* status);
HRESULT SetCertResult(CertFamilyState& state, LONG* status);
HRESULT HashResult(CertFamilyState& state, const std::string& data, LONG* status);
HRESULT SignResult(CertFamilyState& state, const std::string& text, LONG* status);
HRESULT VerifyResult(CertFamilyState& state, const std::optional<std::string>& keyModule,
                     const std::optional<std::string>& plainText, const std::optional<std::string>& sign,
                     LONG* status);

// Text members: S_OK with *text set, or S_FALSE with nothing written.
HRESULT GetHash(const CertFamilyState& state, std::string* text);
HRESULT GetSignature(const CertFamilyState& state, std::string* text);
HRESULT GenRandomNumber(const CertFamilyState& state, LONG length, std::string* text);
HRESULT GetCertName(const CertFamilyState& state, std::string* text);
HRESULT GetCertSerial(const CertFamilyState& state, std::string* text);
HRESULT GetKeyModule(const CertFamilyState& state, std::string* text);
HRESULT GetCertContent(const CertFamilyState& state, std::string* text);

// Always S_OK; "FALSE" in *text for every failure.
HRESULT CryptByPukey(const std::optional<std::string>& plainText, const std::optional<std::string>& publicKey,
                     std::string* text);
HRESULT DecryByPrikey(const CertFamilyState& state, const std::optional<std::string>& cryptText,
                      std::string* text);

} // namespace meridia
