#pragma once

#include "softtoken/crypto/Secure.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace softtoken::crypto {

inline constexpr std::size_t kPinVerifierLen = 32;
inline constexpr std::size_t kWrappingKeyLen = 32;

struct PinKeys {
    SecureBytes verifier;    // stored in the token database
    SecureBytes wrappingKey; // unwraps the token key; never stored

    bool valid() const noexcept {
        return verifier.size() == kPinVerifierLen && wrappingKey.size() == kWrappingKeyLen;
    }
};

// One PBKDF2-HMAC-SHA256 run producing 64 bytes: verifier = first 32,
// wrapping key = last 32. Both are empty (valid() false) when iterations is 0
// or OpenSSL fails.
PinKeys derivePinKeys(const void* pin, std::size_t pinLen, const Bytes& salt,
                      std::uint32_t iterations);

// AES-256-GCM with a random 12-byte IV and a 16-byte tag; sealed = iv || ciphertext || tag.
inline constexpr std::size_t kSealKeyLen = 32;
inline constexpr std::size_t kSealIvLen = 12;
inline constexpr std::size_t kSealTagLen = 16;
inline constexpr std::size_t kSealOverhead = kSealIvLen + kSealTagLen;

// Returns an empty vector when the key is not 32 bytes or OpenSSL fails
// (a successful seal is never empty: it holds at least the IV and tag).
Bytes seal(const SecureBytes& key, const void* plain, std::size_t len, const Bytes& aad = {});
// nullopt when the input is too short, the key is wrong, or anything was tampered with.
std::optional<SecureBytes> open(const SecureBytes& key, const Bytes& sealed, const Bytes& aad = {});

} // namespace softtoken::crypto
