// The certificate-family flows shared by the signing controls: going online with the token's
// provider, the certificate scan and choice, hashing, signing, verifying and random numbers.
//
// One CertFamily object runs one family's members over a CertFamilyState the control keeps for
// the whole module. What differs between families (providers, code page, marker filter, reset
// rule, initial chosenIndex, whether certificate content texts are kept, the choice dialog) is a
// FamilyConfig, so every family runs the same code. The flows call CryptoAPI and crypt32 and
// nothing else; link korvan_crypt (or a stand-in for it) into whatever uses them.
//
// Members answer (HRESULT, value-or-nothing): S_OK with a value on success, S_FALSE on every
// failure path, with the status code for status members and no value where a text member's
// precondition is not met.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace certflows {

// Status codes shared by every family.
enum : LONG {
    kStatusOk = 0,
    kStatusProviderAbsent = 1, // IsOnline members only
    kStatusPinRefused = 2,
    kStatusPrecondition = 3,   // not online, nothing chosen, argument missing, provider/container closed
    kStatusFailed = 4,         // a cryptographic step failed, no certificate, dialog left unconfirmed
};

inline constexpr DWORD kMaxContainers = 10;
// Every name the token's providers accept (up to 255 bytes) fits with its terminator.
inline constexpr size_t kContainerNameSize = 256;
inline constexpr size_t kCertificateNameSize = 50;
inline constexpr size_t kSerialTextSize = 50;
// Sized for 4096-bit keys: a 526-byte RSAPublicKey or a 512-byte signature as hex.
inline constexpr size_t kKeyTextSize = 1100;
inline constexpr size_t kCertificateSize = 8192;
inline constexpr size_t kHashTextSize = 50;
inline constexpr size_t kSignatureTextSize = 1100;
// The whole DER certificate as hex, plus the terminator.
inline constexpr size_t kCertificateContentTextSize = 2 * kCertificateSize + 1;
// GenRandomNumber writes no value for a negative length or one above this.
inline constexpr LONG kMaxRandomLength = 65536;

// One family's module-wide state. Zero-initialised, except chosenIndex (see FamilyConfig).
struct CertFamilyState {
    bool online = false;
    bool certificateChosen = false;
    bool hashReady = false;
    bool signatureReady = false;
    DWORD containerCount = 0;
    char containerNames[kMaxContainers][kContainerNameSize] = {};
    char certificateNames[kMaxContainers][kCertificateNameSize] = {};
    char serialTexts[kMaxContainers][kSerialTextSize] = {};
    char publicKeyTexts[kMaxContainers][kKeyTextSize] = {};
    BYTE certificates[kMaxContainers][kCertificateSize] = {};
    DWORD certificateLengths[kMaxContainers] = {};
    LONG chosenIndex = -1;
    bool dialogConfirmed = false;
    char hashText[kHashTextSize] = {};
    char signatureText[kSignatureTextSize] = {};
};

// The 32-bit control also keeps each certificate's DER bytes as upper-case hex.
struct CertificateContentTexts {
    char texts[kMaxContainers][kCertificateContentTextSize] = {};
};

// Which certificates qualify for the choice, judged on the display name with trailing white
// space removed: any, those holding neither "_TQB" nor "_tqb", or those holding one of them.
enum class MarkerFilter { None, Exclude, Require };

// The modal certificate choice. The scan clears dialogConfirmed before run() and reads it
// afterwards; the dialog writes chosenIndex, dialogConfirmed and, on Cancel, certificateChosen.
class CertChoiceDialog {
public:
    virtual ~CertChoiceDialog() = default;
    virtual void run(CertFamilyState& state) = 0;
};

struct FamilyConfig {
    // The provider IsOnline opens (no container name).
    const char* onlineProvider = nullptr;
    // Providers tried in order for every other container (default, chosen, listed); the next is
    // tried only when CryptAcquireContextA fails.
    std::vector<const char*> containerProviders;
    // Providers tried in order for VerifyResult's context; nullptr is the default provider.
    std::vector<const char*> verifyProviders;
    // CP_THREAD_ACP (64-bit control) or CP_ACP (32-bit control).
    UINT codePage = CP_THREAD_ACP;
    MarkerFilter markerFilter = MarkerFilter::None;
    // true: IsOnline clears lists and flags only when it succeeds and never touches chosenIndex
    // (md_, 32-bit). false: it clears the whole state and sets chosenIndex to -1 first.
    bool resetOnlyOnSuccess = false;
    // Write "OOOKKK" through OutputDebugStringA at IsOnline.
    bool onlineDebugLine = false;
    // true: a listed container without a certificate leaves the list; false: the scan stops
    // with status 4.
    bool dropContainersWithoutCertificate = true;
    // -1 (base, _Ex) or 0 (md_, 32-bit); what a state record starts with.
    LONG initialChosenIndex = -1;
    CertChoiceDialog* dialog = nullptr;
};

// Absent text (a null BSTR) is std::nullopt.
using TextIn = std::optional<std::u16string_view>;

struct StatusResult {
    HRESULT hr = S_FALSE;
    std::optional<LONG> value;
};

struct TextResult {
    HRESULT hr = S_FALSE;
    std::optional<std::u16string> value;
};

// Runs one family's members. The config, the state and the content texts are referred to, not
// copied: they must outlive the family (the controls keep all three for the module's life).
class CertFamily {
public:
    // `contentTexts`, when given, receives each scanned certificate as hex (GetCertContent).
    CertFamily(const FamilyConfig& config, CertFamilyState& state,
               CertificateContentTexts* contentTexts = nullptr);

    // A state record as this family starts it (chosenIndex from the config).
    static void initialise(const FamilyConfig& config, CertFamilyState& state);

    StatusResult isOnline();
    // The scan counts the qualifying certificates on `eligibleCount`, which the calling object
    // owns and sets to 0 on entry, and decides on the dialog from it (the families with a marker
    // filter; the others count the list). Without a counter of the caller's, a local one serves.
    StatusResult setCertResult(DWORD& eligibleCount);
    StatusResult setCertResult();
    StatusResult hashResult(TextIn data);
    StatusResult signResult(TextIn plainText);
    StatusResult verifyResult(TextIn keyModule, TextIn planText, TextIn sign);
    TextResult genRandomNumber(LONG length);
    TextResult getHash();
    TextResult getSignature();
    TextResult getCertName();
    TextResult getCertSerial();
    TextResult getKeyModule();
    // certificateContentTexts[chosenIndex]; no value without content texts.
    TextResult getCertContent();

    const FamilyConfig& config() const { return config_; }
    CertFamilyState& state() { return state_; }

private:
    bool acquireContainer(HCRYPTPROV* provider, const char* container) const;
    void clearLists();
    void clearCertificateLists();
    void dropContainer(DWORD index);
    StatusResult scanContainers(DWORD& eligible);
    TextResult text(const char* value) const;
    const char* chosenEntry(const char* first, size_t entrySize, bool* none) const;
    TextResult entryText(const char* first, size_t entrySize) const;

    const FamilyConfig& config_;
    CertFamilyState& state_;
    CertificateContentTexts* contentTexts_;
};

// The 64-bit control's base family: on the Skyra provider while BaseMode is Direct, forwarded
// member by member to the md_ family while Delegated, no value while None. Only isOnline()
// changes the mode; `tokenCount` is md_RefreshToken's value.
enum class BaseMode { None, Direct, Delegated };

class BaseFamily {
public:
    using TokenCount = std::function<LONG()>;
    BaseFamily(CertFamily& direct, CertFamily& md, BaseMode& mode, TokenCount tokenCount);

    StatusResult isOnline();
    // The base object's counter; a delegated scan (md_) counts the list instead.
    StatusResult setCertResult(DWORD& eligibleCount);
    StatusResult hashResult(TextIn data);
    StatusResult signResult(TextIn plainText);
    StatusResult verifyResult(TextIn keyModule, TextIn planText, TextIn sign);
    TextResult genRandomNumber(LONG length);
    TextResult getHash();
    TextResult getSignature();
    TextResult getCertName();
    TextResult getCertSerial();
    TextResult getKeyModule();

    BaseMode mode() const { return mode_; }

private:
    CertFamily* target();
    CertFamily& direct_;
    CertFamily& md_;
    BaseMode& mode_;
    TokenCount tokenCount_;
};

// The provider labels, exactly as the providers register.
inline constexpr const char* kMeridiaProvider = "Vaultora Korvan2001 CSP for Meridia v1.0";
inline constexpr const char* kSkyraProvider = "Vaultora CSP v1.0 for Torvik Skyra";

// The families' configurations (dialog left null: the control sets its own).
FamilyConfig baseFamilyConfig();    // Skyra, exclude markers, CP_THREAD_ACP
FamilyConfig exFamilyConfig();      // Skyra, require markers, "OOOKKK"
FamilyConfig mdFamilyConfig();      // Meridia (Skyra first for containers), no filter, stops
FamilyConfig meridia32Config();     // the 32-bit control: Meridia only, CP_ACP, default verifier

} // namespace certflows
