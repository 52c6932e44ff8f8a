// Which PKCS#11 library stands under a token provider and under the controls' token queries.
//
// Unless someone overrides it, each provider serves our software token (its privately named copy)
// and the queries load the product's library by its Windows name, as before. An administrator
// names another library for a provider with the string value "TokenLibrary" of the provider's key
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>; one user names it
// for both providers with KORVAN_TOKEN_LIBRARY, which wins. The value is a path (or a file name
// the dynamic loader finds), or one of the words the manager takes: "meridia" and "skyra" stand
// for the product's own two libraries.
#pragma once

#include <string>

namespace providers::token {

// The name of the registry value an administrator sets.
inline constexpr const char* tokenLibraryValueName = "TokenLibrary";

// One of the product's own two token libraries.
struct ProductLibrary {
    const char* word;          // as the manager's --module and KORVAN_TOKEN_LIBRARY take it
    const char* providerName;  // the CryptoAPI provider serving it
    const char* windowsName;   // the name the controls load it by
    const char* privateModule; // the provider's own copy, beside the provider module
};

// The product library a configured value stands for ("meridia", "skyra" or a Windows name, in any
// ASCII case); null for any other library.
const ProductLibrary* productLibraryFor(const std::string& value);
// The product library a provider or a Windows library name belongs to; null when none does.
const ProductLibrary* productLibraryOfProvider(const std::string& providerName);
const ProductLibrary* productLibraryOfWindowsName(const std::string& windowsName);

// The configured value for the provider: KORVAN_TOKEN_LIBRARY when set and not empty, else the
// provider key's "TokenLibrary" string; empty when neither is.
std::string configuredTokenLibrary(const std::string& providerName);

// What a token query over `windowsName` (a product library) loads: that name itself unless the
// library of its provider is overridden; then the configured library (a product word becomes
// that product's Windows name).
std::string tokenQueryLibrary(const std::string& windowsName);

} // namespace providers::token
