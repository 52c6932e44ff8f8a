#include "providers/token/LibraryChoice.h"

#include "platform/AsciiCase.h"
#include "platform/Registry.h"

#include <array>
#include <cstdlib>

namespace providers::token {
namespace {

constexpr std::array<ProductLibrary, 2> productLibraries{{
    {"meridia", "Vaultora Korvan2001 CSP for Meridia v1.0", "meridiaCsp11_2001.dll",
     "libkorvan_csp_meridia_p11.so"},
    {"skyra", "Vaultora CSP v1.0 for Torvik Skyra", "qx11skyra.dll", "libkorvan_csp_skyra_p11.so"},
}};

} // namespace

const ProductLibrary* productLibraryFor(const std::string& value) {
    for (const ProductLibrary& product : productLibraries)
        if (platform::sameAsciiNoCase(value, product.word) ||
            platform::sameAsciiNoCase(value, product.windowsName))
            return &product;
    return nullptr;
}

const ProductLibrary* productLibraryOfProvider(const std::string& providerName) {
    for (const ProductLibrary& product : productLibraries)
        if (platform::sameAsciiNoCase(providerName, product.providerName))
            return &product;
    return nullptr;
}

const ProductLibrary* productLibraryOfWindowsName(const std::string& windowsName) {
    for (const ProductLibrary& product : productLibraries)
        if (platform::sameAsciiNoCase(windowsName, product.windowsName))
            return &product;
    return nullptr;
}

std::string configuredTokenLibrary(const std::string& providerName) {
    if (const char* user = std::getenv("KORVAN_TOKEN_LIBRARY"); user && *user)
        return user;
    const auto key = platform::RegistryKey::open(
        platform::RegistryRoot::LocalMachine,
        "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + providerName);
    if (!key)
        return {};
    // Looked up among the names first: reading a value that is not there is logged as a fault.
    for (const std::string& name : key->valueNames())
        if (platform::sameAsciiNoCase(name, tokenLibraryValueName))
            return key->stringValue(name).value_or(std::string());
    return {};
}

std::string tokenQueryLibrary(const std::string& windowsName) {
    const ProductLibrary* own = productLibraryOfWindowsName(windowsName);
    if (!own)
        return windowsName;
    const std::string configured = configuredTokenLibrary(own->providerName);
    if (configured.empty())
        return windowsName;
    if (const ProductLibrary* product = productLibraryFor(configured))
        return product->windowsName;
    return configured;
}

} // namespace providers::token
