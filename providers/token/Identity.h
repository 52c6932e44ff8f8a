// What tells the two token provider modules apart: their CryptoAPI name, the token library whose
// token they serve, and the privately named copy of that library they load.
#pragma once

#include <string>

namespace providers::token {

struct ProviderIdentity {
    const char* providerName;   // the CryptoAPI provider name
    const char* tokenLibrary;   // the token library name the controls load ("...dll")
    const char* privateModule;  // file name of the provider's own copy, beside the provider
};

// Defined once in each module's own source file.
const ProviderIdentity& providerIdentity();

// Full path of the module holding this code (the provider), from the dynamic loader; empty when
// unknown.
std::string ownModulePath();

} // namespace providers::token
