#pragma once

// The key derivation work a PKCS#12 file may ask for. Every derivation of an
// import is charged here before it runs, so a hostile file is refused instead
// of holding the program for minutes.

#include <openssl/x509.h>

#include <cstdint>

// The most rounds of PBKDF2 and of PKCS#12's own derivation in one import, all
// derivations together. Real files use 2,048 to 600,000.
inline constexpr long kMaxPkcs12Iterations = 10'000'000;
// scrypt's memory for one derivation: its table, 128 * N * r bytes, and its
// blocks, 128 * r * p bytes, each.
inline constexpr std::uint64_t kMaxScryptMemory = 256ull * 1024 * 1024;
// scrypt's work, N * r * p, all derivations of one import together.
inline constexpr std::uint64_t kMaxScryptWork = 1ull << 24;

class Pkcs12WorkCap {
public:
    // Charges one derivation of a PBES1 or PBES2 algorithm. False, charging
    // nothing, when its parameters do not decode, its key derivation is other
    // than PBKDF2, scrypt or PKCS#12's own, or it passes what is left.
    bool charge(const X509_ALGOR* algorithm);
    // Charges one MAC derivation with the file's count (absent means 1).
    bool chargeMac(const ASN1_INTEGER* rounds);

private:
    bool chargeRounds(long rounds);

    long rounds_ = 0;
    std::uint64_t scryptWork_ = 0;
};
