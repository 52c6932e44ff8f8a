// The members of the one certificate family, all on the Meridia provider except where the
// default provider is named.
#include "MeridiaFlows.h"

#include "Base64.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace meridia {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kHexDigits[] = "0123456789ABCDEF";
char kRsaOid[] = szOID_RSA_RSA;

ChoiceDialog choiceDialog = nullptr;

// Owns a provider handle for the length of one member.
class Provider {
public:
    Provider(const char* container, const char* provider, DWORD flags) {
        if (!CryptAcquireContextA(&handle_, container, provider, PROV_RSA_FULL, flags))
            handle_ = 0;
    }
    ~Provider() {
        if (handle_ != 0)
            CryptReleaseContext(handle_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    explicit operator bool() const { return handle_ != 0; }
    HCRYPTPROV get() const { return handle_; }
    void release() {
        if (handle_ != 0)
            CryptReleaseContext(handle_, 0);
        handle_ = 0;
    }

private:
    HCRYPTPROV handle_ = 0;
};

class Key {
public:
    ~Key() {
        if (handle_ != 0)
            CryptDestroyKey(handle_);
    }
    HCRYPTKEY* out() { return &handle_; }
    HCRYPTKEY get() const { return handle_; }

private:
    HCRYPTKEY handle_ = 0;
};

class Hash {
public:
    ~Hash() {
        if (handle_ != 0)
            CryptDestroyHash(handle_);
    }
    HCRYPTHASH* out() { return &handle_; }
    HCRYPTHASH get() const { return handle_; }

private:
    HCRYPTHASH handle_ = 0;
};

HRESULT statusResult(LONG* status, LONG value) {
    *status = value;
    return value == 0 ? S_OK : S_FALSE;
}

std::string hexText(const BYTE* data, size_t length) {
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += kHexDigits[data[i] >> 4];
        text += kHexDigits[data[i] & 15];
    }
    return text;
}

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    return c;
}

// Pairs of characters; a last unpaired one is ignored.
std::vector<BYTE> hexDecode(const std::string& text) {
    std::vector<BYTE> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int value = hexValue(static_cast<unsigned char>(text[2 * i])) * 16 +
                          hexValue(static_cast<unsigned char>(text[2 * i + 1]));
        bytes[i] = static_cast<BYTE>(value % 256);
    }
    return bytes;
}

// A text into a fixed store: false when it does not fit.
template <size_t N>
bool storeText(char (&store)[N], const std::string& text) {
    if (text.size() >= N)
        return false;
    std::memcpy(store, text.c_str(), text.size() + 1);
    return true;
}

// A display name into its store, cut at a character boundary of the ANSI code page.
template <size_t N>
void storeName(char (&store)[N], const char* name) {
    const size_t length = std::strlen(name);
    if (length < N) {
        std::memcpy(store, name, length + 1);
        return;
    }
    std::memset(store, 0, N);
    const int units = MultiByteToWideChar(CP_ACP, 0, name, static_cast<int>(length), nullptr, 0);
    if (units <= 0)
        return;
    std::vector<WCHAR> wide(static_cast<size_t>(units));
    MultiByteToWideChar(CP_ACP, 0, name, static_cast<int>(length), wide.data(), units);
    for (int keep = units; keep > 0; --keep) {
        // Never split a surrogate pair.
        if (keep < units && wide[static_cast<size_t>(keep)] >= 0xDC00 && wide[static_cast<size_t>(keep)] <= 0xDFFF)
            continue;
        const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), keep, nullptr, 0, nullptr, nullptr);
        if (bytes > 0 && static_cast<size_t>(bytes) < N) {
            WideCharToMultiByte(CP_ACP, 0, wide.data(), keep, store, bytes, nullptr, nullptr);
            store[bytes] = '\0';
            return;
        }
    }
}

bool pinStep(HCRYPTPROV provider) {
    return CryptSetProvParam(provider, PP_SIGNATURE_PIN, nullptr, 0) != FALSE;
}

// The lists a scan fills after enumerating the names.
void clearScanResults(CertFamilyState& state) {
    std::memset(state.certificateNames, 0, sizeof state.certificateNames);
    std::memset(state.serialTexts, 0, sizeof state.serialTexts);
    std::memset(state.publicKeyTexts, 0, sizeof state.publicKeyTexts);
    std::memset(state.certificates, 0, sizeof state.certificates);
    std::memset(state.certificateLengths, 0, sizeof state.certificateLengths);
    std::memset(state.certificateContentTexts, 0, sizeof state.certificateContentTexts);
}

void clearLists(CertFamilyState& state) {
    std::memset(state.containerNames, 0, sizeof state.containerNames);
    clearScanResults(state);
}

bool chosenReadable(const CertFamilyState& state) {
    return state.online && state.certificateChosen && state.chosenIndex >= 0 &&
           state.chosenIndex < kMaxContainers;
}

HRESULT chosenText(const CertFamilyState& state, const char* text, std::string* out) {
    if (!chosenReadable(state))
        return S_FALSE;
    *out = text;
    return S_OK;
}

// Reads one container's certificate into entry i: 0, or the status that ends the scan.
LONG readContainer(CertFamilyState& state, DWORD i) {
    Provider container(state.containerNames[i], kMeridiaProvider, 0);
    if (!container)
        return 3;
    Key key;
    if (!CryptGetUserKey(container.get(), AT_SIGNATURE, key.out()))
        return 4;
    DWORD length = 0;
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &length, 0) || length == 0 ||
        length > kCertificateSize)
        return 4;
    std::vector<BYTE> der(length);
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, der.data(), &length, 0) || length > der.size())
        return 4;
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(kEncoding, der.data(), length);
    if (certificate == nullptr)
        return 4;
    std::memcpy(state.certificates[i], der.data(), length);
    state.certificateLengths[i] = length;

    char name[512] = {};
    CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
    storeName(state.certificateNames[i], name);

    const CRYPT_INTEGER_BLOB& serial = certificate->pCertInfo->SerialNumber;
    std::vector<BYTE> serialBytes(serial.pbData, serial.pbData + serial.cbData);
    const CRYPT_BIT_BLOB& publicKey = certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    const std::string keyText = hexText(publicKey.pbData, publicKey.cbData);
    CertFreeCertificateContext(certificate);
    container.release();

    std::vector<BYTE> reversed(serialBytes.rbegin(), serialBytes.rend());
    if (!storeText(state.serialTexts[i], hexText(reversed.data(), reversed.size())) ||
        !storeText(state.publicKeyTexts[i], keyText) ||
        !storeText(state.certificateContentTexts[i], hexText(der.data(), der.size())))
        return 4;
    return 0;
}

} // namespace

CertFamilyState& ModuleState() {
    static CertFamilyState state;
    return state;
}

void SetChoiceDialog(ChoiceDialog dialog) {
    choiceDialog = dialog;
}

HRESULT IsOnline(CertFamilyState& state, LONG* status) {
    OutputDebugStringA("OOOKKK");
    Provider provider(nullptr, kMeridiaProvider, 0);
    if (!provider)
        return statusResult(status, 1);
    if (!pinStep(provider.get()))
        return statusResult(status, 2);
    provider.release();
    clearLists(state);
    state.containerCount = 0;
    state.certificateChosen = FALSE;
    state.hashReady = FALSE;
    state.signatureReady = FALSE;
    state.online = TRUE;
    return statusResult(status, 0);
}

HRESULT SetCertResult(CertFamilyState& state, LONG* status) {
    // A failed scan must not leave the previous choice pointing into the new lists.
    state.certificateChosen = FALSE;
    if (!state.online)
        return statusResult(status, 3);
    state.containerCount = 0;
    std::memset(state.containerNames, 0, sizeof state.containerNames);
    {
        Provider provider(nullptr, kMeridiaProvider, 0);
        if (!provider)
            return statusResult(status, 3);
        if (!pinStep(provider.get()))
            return statusResult(status, 2);
        Key key;
        Hash hash;
        DWORD signatureLength = 0;
        static const BYTE probe[] = {'1', '2', '3', '4', '5', '6'};
        if (!CryptGetUserKey(provider.get(), AT_SIGNATURE, key.out()) ||
            !CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.out()) ||
            !CryptHashData(hash.get(), probe, sizeof probe, 0) ||
            !CryptSignHashA(hash.get(), AT_SIGNATURE, nullptr, 0, nullptr, &signatureLength))
            return statusResult(status, 4);
        for (int call = 0; call < kMaxContainers && state.containerCount < kMaxContainers; ++call) {
            char* entry = state.containerNames[state.containerCount];
            DWORD length = kContainerNameSize;
            if (!CryptGetProvParam(provider.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(entry), &length,
                                   call == 0 ? CRYPT_FIRST : 0)) {
                entry[0] = '\0';
                if (call == 0)
                    return statusResult(status, 4);
                break;
            }
            entry[kContainerNameSize - 1] = '\0';
            if (entry[0] != '\0')
                ++state.containerCount;
        }
    }
    clearScanResults(state);
    for (DWORD i = 0; i < state.containerCount; ++i) {
        const LONG failure = readContainer(state, i);
        if (failure != 0)
            return statusResult(status, failure);
    }
    if (state.containerCount < 2) {
        state.chosenIndex = 0;
        state.certificateChosen = TRUE;
        return statusResult(status, 0);
    }
    state.dialogConfirmed = FALSE;
    state.chosenIndex = 0;
    if (choiceDialog != nullptr)
        choiceDialog(state);
    if (!state.dialogConfirmed)
        return statusResult(status, 4);
    state.certificateChosen = TRUE;
    return statusResult(status, 0);
}

HRESULT HashResult(CertFamilyState& state, const std::string& data, LONG* status) {
    if (!state.online)
        return statusResult(status, 3);
    state.hashText[0] = '\0';
    Provider provider(nullptr, kMeridiaProvider, 0);
    if (!provider)
        return statusResult(status, 3);
    Hash hash;
    BYTE digest[16] = {};
    DWORD length = sizeof digest;
    if (!CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.out()) ||
        !CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) ||
        !CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) || length != sizeof digest)
        return statusResult(status, 4);
    storeText(state.hashText, hexText(digest, sizeof digest));
    state.hashReady = TRUE;
    return statusResult(status, 0);
}

HRESULT SignResult(CertFamilyState& state, const std::string& text, LONG* status) {
    if (!state.online || !state.certificateChosen || state.chosenIndex < 0 || state.chosenIndex >= kMaxContainers)
        return statusResult(status, 3);
    state.signatureText[0] = '\0';
    Provider provider(state.containerNames[state.chosenIndex], kMeridiaProvider, 0);
    if (!provider)
        return statusResult(status, 3);
    Key key;
    Hash hash;
    DWORD length = 0;
    if (!CryptGetUserKey(provider.get(), AT_SIGNATURE, key.out()) ||
        !CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.out()) ||
        !CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0) ||
        !CryptSignHashA(hash.get(), AT_SIGNATURE, nullptr, 0, nullptr, &length) || length == 0)
        return statusResult(status, 4);
    std::vector<BYTE> signature(length);
    if (!CryptSignHashA(hash.get(), AT_SIGNATURE, nullptr, 0, signature.data(), &length) ||
        length > signature.size())
        return statusResult(status, 4);
    signature.resize(length);
    std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
    if (!storeText(state.signatureText, hexText(reversed.data(), reversed.size())))
        return statusResult(status, 4);
    state.signatureReady = TRUE;
    return statusResult(status, 0);
}

HRESULT VerifyResult(CertFamilyState& state, const std::optional<std::string>& keyModule,
                     const std::optional<std::string>& plainText, const std::optional<std::string>& sign,
                     LONG* status) {
    if (!state.online || !keyModule || !plainText || !sign)
        return statusResult(status, 3);
    std::vector<BYTE> keyBytes = hexDecode(*keyModule);
    std::vector<BYTE> signature = hexDecode(*sign);
    std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
    BYTE nullParameters[] = {0x05, 0x00};
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = kRsaOid;
    info.Algorithm.Parameters.cbData = sizeof nullParameters;
    info.Algorithm.Parameters.pbData = nullParameters;
    info.PublicKey.cbData = static_cast<DWORD>(keyBytes.size());
    info.PublicKey.pbData = keyBytes.data();
    Provider provider(nullptr, nullptr, 0);
    if (!provider)
        return statusResult(status, 3);
    Key key;
    Hash hash;
    if (!CryptImportPublicKeyInfo(provider.get(), kEncoding, &info, key.out()) ||
        !CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.out()) ||
        !CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(plainText->data()),
                       static_cast<DWORD>(plainText->size()), 0) ||
        !CryptVerifySignatureA(hash.get(), reversed.data(), static_cast<DWORD>(reversed.size()), key.get(), nullptr,
                               0))
        return statusResult(status, 4);
    return statusResult(status, 0);
}

HRESULT GetHash(const CertFamilyState& state, std::string* text) {
    if (!state.online || !state.hashReady)
        return S_FALSE;
    *text = state.hashText;
    return S_OK;
}

HRESULT GetSignature(const CertFamilyState& state, std::string* text) {
    if (!state.online || !state.signatureReady)
        return S_FALSE;
    *text = state.signatureText;
    return S_OK;
}

HRESULT GenRandomNumber(const CertFamilyState& state, LONG length, std::string* text) {
    // A negative length asks for nothing, as a zero one does.
    if (!state.online || length < 0 || length / 2 > 65536)
        return S_FALSE;
    Provider provider(nullptr, nullptr, 0);
    if (!provider)
        return S_FALSE;
    std::vector<BYTE> bytes(static_cast<size_t>(length / 2));
    if (!bytes.empty() && !CryptGenRandom(provider.get(), static_cast<DWORD>(bytes.size()), bytes.data()))
        return S_FALSE;
    *text = hexText(bytes.data(), bytes.size());
    return S_OK;
}

HRESULT GetCertName(const CertFamilyState& state, std::string* text) {
    return chosenText(state, state.certificateNames[chosenReadable(state) ? state.chosenIndex : 0], text);
}

HRESULT GetCertSerial(const CertFamilyState& state, std::string* text) {
    return chosenText(state, state.serialTexts[chosenReadable(state) ? state.chosenIndex : 0], text);
}

HRESULT GetKeyModule(const CertFamilyState& state, std::string* text) {
    return chosenText(state, state.publicKeyTexts[chosenReadable(state) ? state.chosenIndex : 0], text);
}

HRESULT GetCertContent(const CertFamilyState& state, std::string* text) {
    return chosenText(state, state.certificateContentTexts[chosenReadable(state) ? state.chosenIndex : 0], text);
}

HRESULT CryptByPukey(const std::optional<std::string>& plainText, const std::optional<std::string>& publicKey,
                     std::string* text) {
    *text = "FALSE";
    if (!plainText || !publicKey || !IsValidBase64(*publicKey))
        return S_OK;
    std::vector<BYTE> keyBytes = hexDecode(*publicKey);
    if (plainText->empty() || keyBytes.empty())
        return S_OK;
    BYTE nullParameters[] = {0x05, 0x00};
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = kRsaOid;
    info.Algorithm.Parameters.cbData = sizeof nullParameters;
    info.Algorithm.Parameters.pbData = nullParameters;
    info.PublicKey.cbData = static_cast<DWORD>(keyBytes.size());
    info.PublicKey.pbData = keyBytes.data();
    Provider provider(nullptr, nullptr, 0);
    if (!provider)
        return S_OK;
    Key key;
    if (!CryptImportPublicKeyInfo(provider.get(), kEncoding, &info, key.out()))
        return S_OK;
    DWORD length = static_cast<DWORD>(plainText->size());
    if (!CryptEncrypt(key.get(), 0, TRUE, 0, nullptr, &length, 0) || length < plainText->size())
        return S_OK;
    std::vector<BYTE> buffer(length);
    std::memcpy(buffer.data(), plainText->data(), plainText->size());
    DWORD dataLength = static_cast<DWORD>(plainText->size());
    if (!CryptEncrypt(key.get(), 0, TRUE, 0, buffer.data(), &dataLength, static_cast<DWORD>(buffer.size())) ||
        dataLength > buffer.size())
        return S_OK;
    *text = EncodeBase64(buffer.data(), dataLength);
    return S_OK;
}

HRESULT DecryByPrikey(const CertFamilyState& state, const std::optional<std::string>& cryptText,
                      std::string* text) {
    *text = "FALSE";
    if (!cryptText || cryptText->empty() || !IsValidBase64(*cryptText))
        return S_OK;
    std::vector<BYTE> data = DecodeBase64(*cryptText);
    if (state.chosenIndex < 0 || state.chosenIndex >= kMaxContainers)
        return S_OK;
    Provider provider(state.containerNames[state.chosenIndex], kMeridiaProvider, CRYPT_SILENT);
    if (!provider)
        return S_OK;
    Key key;
    if (!CryptGetUserKey(provider.get(), AT_SIGNATURE, key.out()))
        return S_OK;
    DWORD length = static_cast<DWORD>(data.size());
    if (!CryptDecrypt(key.get(), 0, TRUE, 0, data.data(), &length)) {
        length = static_cast<DWORD>(data.size());
        if (!CryptDecrypt(key.get(), 0, TRUE, 0, data.data(), &length))
            return S_OK;
    }
    // The text ends at its first zero byte; more than the limit is never handed back.
    const DWORD usable = std::min<DWORD>(std::min<DWORD>(length, static_cast<DWORD>(data.size())), kDecryptedTextLimit);
    DWORD end = 0;
    while (end < usable && data[end] != 0)
        ++end;
    text->assign(reinterpret_cast<const char*>(data.data()), end);
    return S_OK;
}

} // namespace meridia
