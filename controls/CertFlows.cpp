#include "controls/CertFlows.h"

#include "controls/ContainerNames.h"
#include "controls/TextCodecs.h"

#include <cstring>
#include <utility>

namespace certflows {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr BYTE kSignatureTestData[] = {'1', '2', '3', '4', '5', '6'};

StatusResult status(LONG value) {
    return {value == kStatusOk ? S_OK : S_FALSE, value};
}

StatusResult noStatus() {
    return {S_FALSE, std::nullopt};
}

TextResult noText() {
    return {S_FALSE, std::nullopt};
}

bool isTrailingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmedRight(std::string text) {
    while (!text.empty() && isTrailingSpace(text.back()))
        text.pop_back();
    return text;
}

bool hasMarker(const std::string& name) {
    return name.find("_TQB") != std::string::npos || name.find("_tqb") != std::string::npos;
}

bool qualifies(MarkerFilter filter, const std::string& displayName) {
    const std::string trimmed = trimmedRight(displayName);
    switch (filter) {
    case MarkerFilter::Exclude:
        return !hasMarker(trimmed);
    case MarkerFilter::Require:
        return hasMarker(trimmed);
    case MarkerFilter::None:
        break;
    }
    return true;
}

// Releases what one step opened, in reverse order, whichever way the step ends.
struct Handles {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    PCCERT_CONTEXT cert = NULL;
    Handles() = default;
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
    ~Handles() { close(); }
    void close() {
        if (cert)
            CertFreeCertificateContext(cert);
        if (hash)
            CryptDestroyHash(hash);
        if (key)
            CryptDestroyKey(key);
        if (prov)
            CryptReleaseContext(prov, 0);
        cert = NULL;
        hash = 0;
        key = 0;
        prov = 0;
    }
};

std::string displayName(PCCERT_CONTEXT cert) {
    const DWORD length = CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, NULL, 0);
    if (length <= 1)
        return {};
    std::string name(length, '\0');
    CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name.data(), length);
    name.resize(std::strlen(name.c_str()));
    return name;
}

} // namespace

CertFamily::CertFamily(const FamilyConfig& config, CertFamilyState& state, CertificateContentTexts* contentTexts)
    : config_(config), state_(state), contentTexts_(contentTexts) {}

void CertFamily::initialise(const FamilyConfig& config, CertFamilyState& state) {
    state = CertFamilyState{};
    state.chosenIndex = config.initialChosenIndex;
}

bool CertFamily::acquireContainer(HCRYPTPROV* provider, const char* container) const {
    for (const char* name : config_.containerProviders) {
        if (CryptAcquireContextA(provider, container, name, PROV_RSA_FULL, 0))
            return true;
    }
    *provider = 0;
    return false;
}

void CertFamily::clearLists() {
    state_.containerCount = 0;
    std::memset(state_.containerNames, 0, sizeof state_.containerNames);
    clearCertificateLists();
}

void CertFamily::clearCertificateLists() {
    std::memset(state_.certificateNames, 0, sizeof state_.certificateNames);
    std::memset(state_.serialTexts, 0, sizeof state_.serialTexts);
    std::memset(state_.publicKeyTexts, 0, sizeof state_.publicKeyTexts);
    std::memset(state_.certificates, 0, sizeof state_.certificates);
    std::memset(state_.certificateLengths, 0, sizeof state_.certificateLengths);
    if (contentTexts_)
        std::memset(contentTexts_->texts, 0, sizeof contentTexts_->texts);
}

StatusResult CertFamily::isOnline() {
    if (!config_.resetOnlyOnSuccess) {
        state_ = CertFamilyState{};
        state_.chosenIndex = -1;
        if (contentTexts_)
            std::memset(contentTexts_->texts, 0, sizeof contentTexts_->texts);
    }
    if (config_.onlineDebugLine)
        OutputDebugStringA("OOOKKK");

    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextA(&hProv, NULL, config_.onlineProvider, PROV_RSA_FULL, 0))
        return status(kStatusProviderAbsent);
    if (!CryptSetProvParam(hProv, PP_SIGNATURE_PIN, NULL, 0)) {
        CryptReleaseContext(hProv, 0);
        return status(kStatusPinRefused);
    }
    CryptReleaseContext(hProv, 0);

    clearLists();
    state_.certificateChosen = false;
    state_.hashReady = false;
    state_.signatureReady = false;
    state_.online = true;
    return status(kStatusOk);
}

StatusResult CertFamily::setCertResult() {
    DWORD eligibleCount = 0;
    return setCertResult(eligibleCount);
}

StatusResult CertFamily::setCertResult(DWORD& eligibleCount) {
    // A failed scan must not leave the previous choice pointing into the new lists.
    state_.certificateChosen = false;
    if (!state_.online)
        return status(kStatusPrecondition);
    state_.containerCount = 0;
    std::memset(state_.containerNames, 0, sizeof state_.containerNames);
    if (config_.markerFilter != MarkerFilter::None)
        state_.chosenIndex = -1;

    {
        Handles test;
        if (!acquireContainer(&test.prov, NULL))
            return status(kStatusPrecondition);
        if (!CryptSetProvParam(test.prov, PP_SIGNATURE_PIN, NULL, 0))
            return status(kStatusPinRefused);
        DWORD signatureLength = 0;
        if (!CryptGetUserKey(test.prov, AT_SIGNATURE, &test.key) ||
            !CryptCreateHash(test.prov, CALG_MD5, 0, 0, &test.hash) ||
            !CryptHashData(test.hash, kSignatureTestData, sizeof kSignatureTestData, 0) ||
            !CryptSignHashA(test.hash, AT_SIGNATURE, NULL, 0, NULL, &signatureLength))
            return status(kStatusFailed);

        const Enumeration listed = enumerateContainers(test.prov, kContainerNameSize, [this](const char* name) {
            std::memcpy(state_.containerNames[state_.containerCount], name, std::strlen(name) + 1);
            ++state_.containerCount;
            return state_.containerCount < kMaxContainers;
        });
        if (listed == Enumeration::FirstCallFailed)
            return status(kStatusFailed);
    }

    clearCertificateLists();

    const StatusResult scanned = scanContainers(eligibleCount);
    if (scanned.value != kStatusOk)
        return scanned;

    const DWORD qualifying = config_.markerFilter == MarkerFilter::None ? state_.containerCount : eligibleCount;
    if (qualifying < 2) {
        if (config_.markerFilter == MarkerFilter::None)
            state_.chosenIndex = 0;
        state_.certificateChosen = true;
        return status(kStatusOk);
    }
    state_.dialogConfirmed = false;
    if (config_.markerFilter == MarkerFilter::None)
        state_.chosenIndex = 0;
    if (config_.dialog)
        config_.dialog->run(state_);
    if (!state_.dialogConfirmed)
        return status(kStatusFailed);
    state_.certificateChosen = true;
    return status(kStatusOk);
}

void CertFamily::dropContainer(DWORD index) {
    for (DWORD j = index; j + 1 < state_.containerCount; ++j)
        std::memcpy(state_.containerNames[j], state_.containerNames[j + 1], kContainerNameSize);
    std::memset(state_.containerNames[state_.containerCount - 1], 0, kContainerNameSize);
    --state_.containerCount;
}

StatusResult CertFamily::scanContainers(DWORD& eligible) {
    DWORD i = 0;
    while (i < state_.containerCount) {
        Handles one;
        if (!acquireContainer(&one.prov, state_.containerNames[i]))
            return status(kStatusPrecondition);
        if (!CryptGetUserKey(one.prov, AT_SIGNATURE, &one.key))
            return status(kStatusFailed);
        DWORD length = 0;
        if (!CryptGetKeyParam(one.key, KP_CERTIFICATE, NULL, &length, 0)) {
            if (!config_.dropContainersWithoutCertificate)
                return status(kStatusFailed);
            one.close();
            dropContainer(i);
            continue;
        }
        // Certificates are never cut: one that does not fit its entry fails the scan.
        if (length == 0 || length > kCertificateSize)
            return status(kStatusFailed);
        Bytes der(length);
        if (!CryptGetKeyParam(one.key, KP_CERTIFICATE, der.data(), &length, 0) || length > der.size())
            return status(kStatusFailed);
        der.resize(length);
        one.cert = CertCreateCertificateContext(kEncoding, der.data(), length);
        if (!one.cert)
            return status(kStatusFailed);
        std::memcpy(state_.certificates[i], der.data(), length);
        state_.certificateLengths[i] = length;

        const std::string name = displayName(one.cert);
        if (config_.markerFilter != MarkerFilter::None && qualifies(config_.markerFilter, name)) {
            state_.chosenIndex = static_cast<LONG>(i);
            ++eligible;
        }
        copyNameCut(config_.codePage, name.c_str(), state_.certificateNames[i], kCertificateNameSize);

        CryptDestroyKey(one.key);
        one.key = 0;
        CryptReleaseContext(one.prov, 0);
        one.prov = 0;

        const CRYPT_INTEGER_BLOB& serial = one.cert->pCertInfo->SerialNumber;
        const Bytes serialBytes = reversed(Bytes(serial.pbData, serial.pbData + serial.cbData));
        const CRYPT_BIT_BLOB& key = one.cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        if (!copyWhole(hexText(serialBytes), state_.serialTexts[i], kSerialTextSize) ||
            !copyWhole(hexText(key.pbData, key.cbData), state_.publicKeyTexts[i], kKeyTextSize))
            return status(kStatusFailed);
        if (contentTexts_ &&
            !copyWhole(hexText(der), contentTexts_->texts[i], kCertificateContentTextSize))
            return status(kStatusFailed);
        ++i;
    }
    return status(kStatusOk);
}

StatusResult CertFamily::hashResult(TextIn data) {
    if (!state_.online)
        return status(kStatusPrecondition);
    std::memset(state_.hashText, 0, sizeof state_.hashText);
    Handles h;
    if (!acquireContainer(&h.prov, NULL))
        return status(kStatusPrecondition);
    const std::string ansi = toAnsi(config_.codePage, data);
    DWORD length = 0;
    if (!CryptCreateHash(h.prov, CALG_MD5, 0, 0, &h.hash) ||
        !CryptHashData(h.hash, reinterpret_cast<const BYTE*>(ansi.data()), static_cast<DWORD>(ansi.size()), 0) ||
        !CryptGetHashParam(h.hash, HP_HASHVAL, NULL, &length, 0))
        return status(kStatusFailed);
    Bytes digest(length);
    if (!CryptGetHashParam(h.hash, HP_HASHVAL, digest.data(), &length, 0) || length > digest.size())
        return status(kStatusFailed);
    digest.resize(length);
    h.close();
    if (!copyWhole(hexText(digest), state_.hashText, kHashTextSize))
        return status(kStatusFailed);
    state_.hashReady = true;
    return status(kStatusOk);
}

StatusResult CertFamily::signResult(TextIn plainText) {
    if (!state_.online || !state_.certificateChosen)
        return status(kStatusPrecondition);
    std::memset(state_.signatureText, 0, sizeof state_.signatureText);
    if (state_.chosenIndex < 0 || state_.chosenIndex >= static_cast<LONG>(kMaxContainers))
        return noStatus();
    Handles h;
    if (!acquireContainer(&h.prov, state_.containerNames[state_.chosenIndex]))
        return status(kStatusPrecondition);
    const std::string ansi = toAnsi(config_.codePage, plainText);
    DWORD length = 0;
    if (!CryptGetUserKey(h.prov, AT_SIGNATURE, &h.key) || !CryptCreateHash(h.prov, CALG_MD5, 0, 0, &h.hash) ||
        !CryptHashData(h.hash, reinterpret_cast<const BYTE*>(ansi.data()), static_cast<DWORD>(ansi.size()), 0) ||
        !CryptSignHashA(h.hash, AT_SIGNATURE, NULL, 0, NULL, &length))
        return status(kStatusFailed);
    Bytes signature(length);
    if (!CryptSignHashA(h.hash, AT_SIGNATURE, NULL, 0, signature.data(), &length) || length > signature.size())
        return status(kStatusFailed);
    signature.resize(length);
    h.close();
    if (!copyWhole(hexText(reversed(std::move(signature))), state_.signatureText, kSignatureTextSize))
        return status(kStatusFailed);
    state_.signatureReady = true;
    return status(kStatusOk);
}

StatusResult CertFamily::verifyResult(TextIn keyModule, TextIn planText, TextIn sign) {
    if (!state_.online || !keyModule || !planText || !sign)
        return status(kStatusPrecondition);
    RsaPublicKeyRecord record(hexDecode(toAnsi(config_.codePage, keyModule)));
    const Bytes signature = reversed(hexDecode(toAnsi(config_.codePage, sign)));
    const std::string ansi = toAnsi(config_.codePage, planText);

    Handles h;
    bool opened = false;
    for (const char* name : config_.verifyProviders) {
        if (CryptAcquireContextA(&h.prov, NULL, name, PROV_RSA_FULL, 0)) {
            opened = true;
            break;
        }
    }
    if (!opened) {
        h.prov = 0;
        return status(kStatusPrecondition);
    }
    if (!CryptImportPublicKeyInfo(h.prov, kEncoding, record.info(), &h.key) ||
        !CryptCreateHash(h.prov, CALG_MD5, 0, 0, &h.hash) ||
        !CryptHashData(h.hash, reinterpret_cast<const BYTE*>(ansi.data()), static_cast<DWORD>(ansi.size()), 0) ||
        !CryptVerifySignatureA(h.hash, signature.data(), static_cast<DWORD>(signature.size()), h.key, NULL, 0))
        return status(kStatusFailed);
    return status(kStatusOk);
}

TextResult CertFamily::genRandomNumber(LONG length) {
    if (!state_.online || length < 0 || length > kMaxRandomLength)
        return noText();
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextA(&hProv, NULL, NULL, PROV_RSA_FULL, 0))
        return noText();
    const DWORD n = static_cast<DWORD>(length / 2);
    Bytes random(n + 1);
    const BOOL drawn = CryptGenRandom(hProv, n, random.data());
    CryptReleaseContext(hProv, 0);
    if (!drawn)
        return noText();
    return {S_OK, fromAnsi(config_.codePage, hexText(random.data(), n))};
}

TextResult CertFamily::text(const char* value) const {
    return {S_OK, fromAnsi(config_.codePage, value)};
}

TextResult CertFamily::getHash() {
    if (!state_.online || !state_.hashReady)
        return noText();
    return text(state_.hashText);
}

TextResult CertFamily::getSignature() {
    if (!state_.online || !state_.certificateChosen || !state_.signatureReady)
        return noText();
    return text(state_.signatureText);
}

const char* CertFamily::chosenEntry(const char* first, size_t entrySize, bool* none) const {
    *none = false;
    if (!state_.online || !state_.certificateChosen)
        return nullptr;
    if (state_.chosenIndex == -1) {
        *none = true;
        return nullptr;
    }
    if (state_.chosenIndex < 0 || state_.chosenIndex >= static_cast<LONG>(kMaxContainers))
        return nullptr;
    return first + static_cast<size_t>(state_.chosenIndex) * entrySize;
}

TextResult CertFamily::entryText(const char* first, size_t entrySize) const {
    bool none = false;
    const char* entry = chosenEntry(first, entrySize, &none);
    if (none)
        return {S_OK, std::u16string()};
    if (!entry)
        return noText();
    return text(entry);
}

TextResult CertFamily::getCertName() {
    return entryText(&state_.certificateNames[0][0], kCertificateNameSize);
}

TextResult CertFamily::getCertSerial() {
    return entryText(&state_.serialTexts[0][0], kSerialTextSize);
}

TextResult CertFamily::getKeyModule() {
    return entryText(&state_.publicKeyTexts[0][0], kKeyTextSize);
}

TextResult CertFamily::getCertContent() {
    if (!contentTexts_)
        return noText();
    return entryText(&contentTexts_->texts[0][0], kCertificateContentTextSize);
}

BaseFamily::BaseFamily(CertFamily& direct, CertFamily& md, BaseMode& mode, TokenCount tokenCount)
    : direct_(direct), md_(md), mode_(mode), tokenCount_(std::move(tokenCount)) {}

StatusResult BaseFamily::isOnline() {
    const StatusResult own = direct_.isOnline();
    if (own.value != kStatusProviderAbsent) {
        // The Skyra provider opened: the family is its own, even when the PIN step failed.
        mode_ = BaseMode::Direct;
        return own;
    }
    const StatusResult md = md_.isOnline();
    if (md.value == kStatusOk && tokenCount_ && tokenCount_() > 0) {
        mode_ = BaseMode::Delegated;
        return status(kStatusOk);
    }
    mode_ = BaseMode::None;
    return status(kStatusProviderAbsent);
}

StatusResult BaseFamily::setCertResult(DWORD& eligibleCount) {
    switch (mode_) {
    case BaseMode::Direct:
        return direct_.setCertResult(eligibleCount);
    case BaseMode::Delegated:
        return md_.setCertResult();
    case BaseMode::None:
        break;
    }
    return noStatus();
}

CertFamily* BaseFamily::target() {
    switch (mode_) {
    case BaseMode::Direct:
        return &direct_;
    case BaseMode::Delegated:
        return &md_;
    case BaseMode::None:
        break;
    }
    return nullptr;
}

#define KORVAN_FORWARD_STATUS(member, params, args) \
    StatusResult BaseFamily::member params {       \
        CertFamily* family = target();             \
        return family ? family->member args : noStatus(); \
    }
#define KORVAN_FORWARD_TEXT(member, params, args) \
    TextResult BaseFamily::member params {       \
        CertFamily* family = target();           \
        return family ? family->member args : noText(); \
    }

KORVAN_FORWARD_STATUS(hashResult, (TextIn data), (data))
KORVAN_FORWARD_STATUS(signResult, (TextIn plainText), (plainText))
KORVAN_FORWARD_STATUS(verifyResult, (TextIn keyModule, TextIn planText, TextIn sign), (keyModule, planText, sign))
KORVAN_FORWARD_TEXT(genRandomNumber, (LONG length), (length))
KORVAN_FORWARD_TEXT(getHash, (), ())
KORVAN_FORWARD_TEXT(getSignature, (), ())
KORVAN_FORWARD_TEXT(getCertName, (), ())
KORVAN_FORWARD_TEXT(getCertSerial, (), ())
KORVAN_FORWARD_TEXT(getKeyModule, (), ())

#undef KORVAN_FORWARD_STATUS
#undef KORVAN_FORWARD_TEXT

FamilyConfig baseFamilyConfig() {
    FamilyConfig config;
    config.onlineProvider = kSkyraProvider;
    config.containerProviders = {kSkyraProvider};
    config.verifyProviders = {kSkyraProvider};
    config.codePage = CP_THREAD_ACP;
    config.markerFilter = MarkerFilter::Exclude;
    config.resetOnlyOnSuccess = false;
    config.onlineDebugLine = false;
    config.dropContainersWithoutCertificate = true;
    config.initialChosenIndex = -1;
    return config;
}

FamilyConfig exFamilyConfig() {
    FamilyConfig config = baseFamilyConfig();
    config.markerFilter = MarkerFilter::Require;
    config.onlineDebugLine = true;
    return config;
}

FamilyConfig mdFamilyConfig() {
    FamilyConfig config;
    config.onlineProvider = kMeridiaProvider;
    config.containerProviders = {kSkyraProvider, kMeridiaProvider};
    config.verifyProviders = {nullptr, kSkyraProvider, kMeridiaProvider};
    config.codePage = CP_THREAD_ACP;
    config.markerFilter = MarkerFilter::None;
    config.resetOnlyOnSuccess = true;
    config.onlineDebugLine = true;
    config.dropContainersWithoutCertificate = false;
    config.initialChosenIndex = 0;
    return config;
}

FamilyConfig meridia32Config() {
    FamilyConfig config = mdFamilyConfig();
    config.containerProviders = {kMeridiaProvider};
    config.verifyProviders = {nullptr};
    config.codePage = CP_ACP;
    return config;
}

} // namespace certflows
