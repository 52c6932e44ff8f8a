#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <string>

namespace softtoken::store {

// Settings of one module, read from a small "key = value" file. Unknown keys
// are refused so a typo does not silently fall back to a default.
//
//   store_dir        folder holding slots.db, events.log and one <name>.token per token
//   slots            number of reader slots (default 2)
//   pin_iterations   PBKDF2-HMAC-SHA256 iterations for PIN verifiers (default 200000,
//                    about 100 ms per login on a current desktop core)
//   rsa_min_bits     smallest RSA modulus accepted (default 1024)
//   rsa_max_bits     largest RSA modulus accepted (default 4096)
//   public_memory    default total public memory of a new token, bytes (default 32000)
//   private_memory   default total private memory of a new token, bytes (default 32000)
//   min_pin_len      smallest PIN length (default 4)
//   max_pin_len      largest PIN length (default 16)
//   max_retries      default retry limit of both PINs (default 6)
// Largest PBKDF2 iteration count accepted, from a configuration file or a token file: a
// larger count would stall whoever checks a PIN.
inline constexpr std::uint32_t kMaxPinIterations = 10000000;
// Longest PIN any token may be configured for; a longer one is refused before it is copied.
inline constexpr CK_ULONG kMaxPinLen = 255;

struct Config {
    std::string storeDir;
    unsigned slotCount = 2;
    std::uint32_t pinIterations = 200000;
    CK_ULONG rsaMinBits = 1024;
    CK_ULONG rsaMaxBits = 4096;
    std::uint32_t publicMemory = 32000;
    std::uint32_t privateMemory = 32000;
    CK_ULONG minPinLen = 4;
    CK_ULONG maxPinLen = 16;
    std::uint8_t maxRetries = 6;

    // Reads the file named by the environment variable envVar, else
    // $XDG_CONFIG_HOME/korvanng/<moduleName>.conf (~/.config/...). A missing
    // default file gives the defaults with storeDir
    // $XDG_DATA_HOME/korvanng/<moduleName> (~/.local/share/...). A file named
    // by the variable must exist. nullopt with *error set on a bad file.
    static std::optional<Config> load(const char* envVar, const char* moduleName,
                                      std::string* error);
    static std::optional<Config> parse(const std::string& text, const std::string& defaultStoreDir,
                                       std::string* error);
};

} // namespace softtoken::store
