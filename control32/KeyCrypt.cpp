#include "KeyCrypt.h"

#include <controls/TextCodecs.h>

#include <algorithm>
#include <cstring>

namespace meridia {
namespace {

using certflows::Bytes;
using certflows::TextIn;
using certflows::TextResult;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

TextResult answer(const std::string& ansi) {
    return {S_OK, certflows::fromAnsi(CP_ACP, ansi)};
}

TextResult refused() {
    return {S_OK, std::u16string(u"FALSE")};
}

// One provider context, key and nothing else, released on every path.
struct Handles {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ~Handles() {
        if (key)
            CryptDestroyKey(key);
        if (prov)
            CryptReleaseContext(prov, 0);
    }
};

} // namespace

TextResult CryptByPukey(TextIn plainText, TextIn publicKey) {
    if (!plainText || !publicKey)
        return refused();
    const std::string plain = certflows::toAnsi(CP_ACP, plainText);
    const std::string keyText = certflows::toAnsi(CP_ACP, publicKey);
    // The key text is hex, which the Base64 test also screens: an odd byte count fails it.
    if (!certflows::base64Valid(keyText))
        return refused();
    Bytes key = certflows::hexDecode(keyText);
    if (plain.empty() || key.empty())
        return refused();

    certflows::RsaPublicKeyRecord record(std::move(key));
    Handles h;
    if (!CryptAcquireContextA(&h.prov, NULL, NULL, PROV_RSA_FULL, 0))
        return refused();
    if (!CryptImportPublicKeyInfo(h.prov, kEncoding, record.info(), &h.key))
        return refused();
    DWORD length = static_cast<DWORD>(plain.size());
    if (!CryptEncrypt(h.key, 0, TRUE, 0, NULL, &length, 0) || length < plain.size())
        return refused();
    Bytes buffer(length);
    std::memcpy(buffer.data(), plain.data(), plain.size());
    DWORD dataLength = static_cast<DWORD>(plain.size());
    if (!CryptEncrypt(h.key, 0, TRUE, 0, buffer.data(), &dataLength, static_cast<DWORD>(buffer.size())) ||
        dataLength > buffer.size())
        return refused();
    buffer.resize(dataLength);
    return answer(certflows::base64Encode(buffer));
}

TextResult DecryByPrikey(const certflows::CertFamilyState& state, TextIn cryptText) {
    if (!cryptText || cryptText->empty())
        return refused();
    const std::string text = certflows::toAnsi(CP_ACP, cryptText);
    if (!certflows::base64Valid(text))
        return refused();
    std::optional<Bytes> decoded = certflows::base64Decode(text);
    if (!decoded || decoded->empty())
        return refused();
    Bytes& data = *decoded;
    if (state.chosenIndex < 0 || state.chosenIndex >= static_cast<LONG>(certflows::kMaxContainers))
        return refused();

    Handles h;
    if (!CryptAcquireContextA(&h.prov, state.containerNames[state.chosenIndex], certflows::kMeridiaProvider,
                              PROV_RSA_FULL, CRYPT_SILENT))
        return refused();
    if (!CryptGetUserKey(h.prov, AT_SIGNATURE, &h.key))
        return refused();
    DWORD length = static_cast<DWORD>(data.size());
    if (!CryptDecrypt(h.key, 0, TRUE, 0, data.data(), &length)) {
        length = static_cast<DWORD>(data.size());
        if (!CryptDecrypt(h.key, 0, TRUE, 0, data.data(), &length))
            return refused();
    }
    // Up to the first zero byte, and never more than the limit.
    const DWORD usable = std::min({length, static_cast<DWORD>(data.size()), kDecryptedTextLimit});
    const auto end = std::find(data.begin(), data.begin() + usable, BYTE{0});
    return answer(std::string(data.begin(), end));
}

} // namespace meridia
