#include "softtoken/crypto/Secure.h"

#include <climits>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace softtoken::crypto {

void wipe(void* p, std::size_t len) {
    if (p != nullptr && len != 0) {
        OPENSSL_cleanse(p, len);
    }
}

SecureBytes::SecureBytes(const void* p, std::size_t len) : bytes_(p != nullptr ? len : 0) {
    if (p != nullptr && len != 0) {
        std::memcpy(bytes_.data(), p, len);
    }
}

bool fillRandom(void* out, std::size_t len) {
    if (out == nullptr) {
        return len == 0;
    }
    auto* dst = static_cast<unsigned char*>(out);
    // RAND_bytes takes an int length.
    while (len > 0) {
        const std::size_t chunk = len > INT_MAX ? INT_MAX : len;
        if (RAND_bytes(dst, static_cast<int>(chunk)) != 1) {
            return false;
        }
        dst += chunk;
        len -= chunk;
    }
    return true;
}

Bytes randomBytes(std::size_t len) {
    Bytes out(len);
    if (!fillRandom(out.data(), len)) {
        return {};
    }
    return out;
}

bool sameBytes(const void* a, const void* b, std::size_t n) {
    return n == 0 || CRYPTO_memcmp(a, b, n) == 0;
}

bool sameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.empty() || b.empty() || a.size() != b.size()) {
        return false;
    }
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace softtoken::crypto
