// The module's exports: the CP* functions over one TokenProvider, and self-registration under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>.
#include "providers/core/ProviderModule.h"
#include "providers/token/Identity.h"
#include "providers/token/TokenProvider.h"

#include "platform/Registry.h"

#include <climits>
#include <cstdlib>
#include <string>

KORVAN_PROVIDER_EXPORTS(std::make_unique<providers::token::TokenProvider>())

namespace {

std::string providerKey() {
    return std::string("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") +
           providers::token::providerIdentity().providerName;
}

std::string absoluteModulePath() {
    const std::string path = providers::token::ownModulePath();
    if (path.empty() || path.front() == '/')
        return path;
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool registerProvider() {
    const std::string image = absoluteModulePath();
    if (image.empty())
        return false;
    auto key = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine, providerKey());
    return key && key->setString("Image Path", image) && key->setDword("Type", PROV_RSA_FULL);
}

bool unregisterProvider() {
    using platform::RegistryRoot;
    if (!platform::RegistryKey::open(RegistryRoot::LocalMachine, providerKey()))
        return true;
    return platform::deleteTree(RegistryRoot::LocalMachine, providerKey());
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
