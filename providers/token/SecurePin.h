// A PIN in a buffer of fixed room that is wiped when it goes, and never grows (growing would
// leave copies in freed memory).
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>

namespace providers::token {

// Longest PIN taken from the user or a caller; the token's own bounds are far smaller.
inline constexpr std::size_t maximumPinLength = 256;

class SecurePin {
public:
    SecurePin() = default;
    ~SecurePin() { clear(); }
    SecurePin(const SecurePin&) = delete;
    SecurePin& operator=(const SecurePin&) = delete;

    // False, changing nothing, when the PIN would grow past maximumPinLength.
    bool append(char c) {
        if (length_ >= maximumPinLength)
            return false;
        bytes_[length_++] = static_cast<unsigned char>(c);
        return true;
    }
    void clear() {
        OPENSSL_cleanse(bytes_.data(), bytes_.size());
        length_ = 0;
    }

    unsigned char* data() { return bytes_.data(); }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }

private:
    std::array<unsigned char, maximumPinLength> bytes_{};
    std::size_t length_ = 0;
};

} // namespace providers::token
