// A scripted stand-in for CryptoAPI and crypt32, linked into the flow tests instead of
// korvan_crypt: providers by name, their containers and certificates, and which step refuses.
// Signatures are the MD5 digest followed by the signing key's bytes, so verification can tell
// a right key and signature from a wrong one.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <string>
#include <vector>

namespace scripted {

using Bytes = std::vector<BYTE>;

struct Container {
    std::string name;
    bool refuseOpen = false;
    bool hasCertificate = true;
    bool validDer = true;
    std::string displayName;    // ANSI, as CertGetNameStringA gives it
    Bytes serial;               // least significant byte first, as crypt32 gives it
    Bytes publicKey;            // the subject public key bit string
    size_t certificateSize = 0; // 0: a small certificate
};

struct Provider {
    bool pinRefused = false;
    bool signTestRefused = false; // CryptSignHashA on the default container
    bool enumerationRefused = false;
    bool randomRefused = false;
    // After the last container the enumeration keeps answering success with an empty name.
    bool emptyNamesForever = false;
    std::vector<Container> containers;
};

struct World {
    // "" is the default provider (a null name).
    std::map<std::string, Provider> providers;
    // "provider|container" of every acquire, successful or not; "-" for a null container.
    std::vector<std::string> acquires;
    int liveHandles = 0;
    // PP_ENUMCONTAINERS calls; past kRunawayEnumeration the stand-in answers ERROR_NO_MORE_ITEMS,
    // so a caller without a limit of its own ends instead of hanging the test.
    int enumerationCalls = 0;
};

inline constexpr int kRunawayEnumeration = 100000;

World& world();
void resetWorld();

// The DER bytes the stand-in gives for a container's certificate.
Bytes certificateBytes(const Container& container);
// The signature the stand-in makes for `data` with `key`, least significant byte first.
Bytes signatureOf(const std::string& data, const Bytes& key);

} // namespace scripted
