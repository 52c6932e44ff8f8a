#pragma once

#include "softtoken/crypto/Crypto.h"

#include <string>
#include <string_view>

namespace softtoken::crypto::test {

inline Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string toHex(const Bytes& b) {
    return toHex(b.data(), b.size());
}

inline Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Key generation is slow; every test in the process shares these.
inline const RsaKeyParts& rsa1024() {
    static const RsaKeyParts parts = [] {
        RsaKeyParts p;
        generateRsaKeyPair(1024, {0x01, 0x00, 0x01}, p);
        return p;
    }();
    return parts;
}
inline const RsaKeyParts& rsa2048() {
    static const RsaKeyParts parts = [] {
        RsaKeyParts p;
        generateRsaKeyPair(2048, {}, p);
        return p;
    }();
    return parts;
}

} // namespace softtoken::crypto::test
