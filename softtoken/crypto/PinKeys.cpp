#include "softtoken/crypto/PinKeys.h"

#include "softtoken/crypto/ErrorMark.h"

#include <climits>
#include <memory>
#include <openssl/evp.h>

namespace softtoken::crypto {
namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

bool fitsInt(std::size_t n) {
    return n <= static_cast<std::size_t>(INT_MAX);
}

} // namespace

PinKeys derivePinKeys(const void* pin, std::size_t pinLen, const Bytes& salt,
                      std::uint32_t iterations) {
    PinKeys keys;
    if (iterations == 0 || iterations > static_cast<std::uint32_t>(INT_MAX) || !fitsInt(pinLen) ||
        !fitsInt(salt.size()) || (pin == nullptr && pinLen != 0)) {
        return keys;
    }
    ErrorMark mark;
    SecureBytes both(kPinVerifierLen + kWrappingKeyLen);
    if (PKCS5_PBKDF2_HMAC(static_cast<const char*>(pin), static_cast<int>(pinLen), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(both.size()), both.data()) != 1) {
        return keys;
    }
    keys.verifier.assign(both.data(), kPinVerifierLen);
    keys.wrappingKey.assign(both.data() + kPinVerifierLen, kWrappingKeyLen);
    return keys;
}

Bytes seal(const SecureBytes& key, const void* plain, std::size_t len, const Bytes& aad) {
    if (key.size() != kSealKeyLen || (plain == nullptr && len != 0) ||
        !fitsInt(len + kSealOverhead) || !fitsInt(aad.size())) {
        return {};
    }
    ErrorMark mark;
    Bytes out(kSealIvLen + len + kSealTagLen);
    if (!fillRandom(out.data(), kSealIvLen)) {
        return {};
    }
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), out.data()) != 1) {
        return {};
    }
    int n = 0;
    if (!aad.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) != 1) {
        return {};
    }
    std::uint8_t* ct = out.data() + kSealIvLen;
    if (len != 0 && EVP_EncryptUpdate(ctx.get(), ct, &n, static_cast<const std::uint8_t*>(plain),
                                      static_cast<int>(len)) != 1) {
        return {};
    }
    int tail = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), ct + len, &tail) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kSealTagLen),
                            ct + len) != 1) {
        return {};
    }
    return out;
}

std::optional<SecureBytes> open(const SecureBytes& key, const Bytes& sealed, const Bytes& aad) {
    if (key.size() != kSealKeyLen || sealed.size() < kSealOverhead || !fitsInt(sealed.size()) ||
        !fitsInt(aad.size())) {
        return std::nullopt;
    }
    ErrorMark mark;
    const std::size_t len = sealed.size() - kSealOverhead;
    const std::uint8_t* iv = sealed.data();
    const std::uint8_t* ct = iv + kSealIvLen;
    Bytes tag(ct + len, ct + len + kSealTagLen);

    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv) != 1) {
        return std::nullopt;
    }
    int n = 0;
    if (!aad.empty() &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) != 1) {
        return std::nullopt;
    }
    SecureBytes plain(len);
    if (len != 0 &&
        EVP_DecryptUpdate(ctx.get(), plain.data(), &n, ct, static_cast<int>(len)) != 1) {
        return std::nullopt;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kSealTagLen),
                            tag.data()) != 1) {
        return std::nullopt;
    }
    // GCM has no padding, so Final writes nothing; it only checks the tag.
    std::uint8_t none[16];
    int tail = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), none, &tail) != 1) {
        return std::nullopt;
    }
    return plain;
}

} // namespace softtoken::crypto
