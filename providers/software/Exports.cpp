// The module's exports: the CP* functions over one SoftwareProvider, and self-registration.
#include "providers/core/ProviderModule.h"
#include "providers/software/SoftwareProvider.h"

#include "platform/Registry.h"

#include <dlfcn.h>

#include <string>

KORVAN_PROVIDER_EXPORTS(std::make_unique<providers::software::SoftwareProvider>())

namespace {

constexpr const char* providerKeyPrefix = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
constexpr const char* typeKey = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001";

std::string providerKey() {
    return std::string(providerKeyPrefix) + providers::software::providerName;
}

// The full path of this module, found from one of its own functions.
std::string modulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&modulePath), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    if (path.empty() || path.front() != '/') {
        char resolved[4096];
        if (realpath(info.dli_fname, resolved) == nullptr)
            return {};
        path = resolved;
    }
    return path;
}

bool registerProvider() {
    const std::string image = modulePath();
    if (image.empty())
        return false;
    auto provider = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine, providerKey());
    if (!provider || !provider->setString("Image Path", image) || !provider->setDword("Type", PROV_RSA_FULL))
        return false;
    auto type = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine, typeKey);
    return type && type->setString("Name", providers::software::providerName) &&
           type->setString("TypeName", providers::software::providerTypeName);
}

bool unregisterProvider() {
    using platform::RegistryRoot;
    if (platform::RegistryKey::open(RegistryRoot::LocalMachine, providerKey()) &&
        !platform::deleteTree(RegistryRoot::LocalMachine, providerKey()))
        return false;
    // The default entry is removed only while it still names this provider.
    auto type = platform::RegistryKey::open(RegistryRoot::LocalMachine, typeKey);
    if (type && type->stringValue("Name") == providers::software::providerName)
        return platform::deleteTree(RegistryRoot::LocalMachine, typeKey);
    return true;
}

} // namespace

KORVAN_PROVIDER_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    try {
        return registerProvider() ? S_OK : SELFREG_E_CLASS;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

KORVAN_PROVIDER_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    try {
        return unregisterProvider() ? S_OK : SELFREG_E_CLASS;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}
