// The module's exports: the CP* functions over one SoftwareProvider, and self-registration.
#include "providers/core/ProviderModule.h"
#include "providers/core/Registration.h"
#include "providers/software/SoftwareProvider.h"

#include "platform/Registry.h"

#include <string>

KORVAN_PROVIDER_EXPORTS(std::make_unique<providers::software::SoftwareProvider>())

namespace {

constexpr const char* typeKey = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001";

// The default provider also names itself as the default of its type.
bool registerProvider() {
    const std::string image = providers::modulePathOf(reinterpret_cast<const void*>(&registerProvider));
    if (!providers::registerProviderEntry(providers::software::providerName, image, PROV_RSA_FULL))
        return false;
    auto type = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine, typeKey);
    return type && type->setString("Name", providers::software::providerName) &&
           type->setString("TypeName", providers::software::providerTypeName);
}

bool unregisterProvider() {
    using platform::RegistryRoot;
    if (!providers::unregisterProviderEntry(providers::software::providerName))
        return false;
    // The default entry is removed only while it still names this provider.
    auto type = platform::RegistryKey::open(RegistryRoot::LocalMachine, typeKey);
    if (type && type->stringValue("Name") == providers::software::providerName)
        return platform::deleteTree(RegistryRoot::LocalMachine, typeKey);
    return true;
}

} // namespace

KORVAN_PROVIDER_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    return providers::selfRegistrationResult(registerProvider);
}

KORVAN_PROVIDER_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return providers::selfRegistrationResult(unregisterProvider);
}
