// The module's exports: the CP* functions over one TokenProvider, and self-registration under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>.
#include "providers/core/ProviderModule.h"
#include "providers/core/Registration.h"
#include "providers/token/Identity.h"
#include "providers/token/TokenProvider.h"

KORVAN_PROVIDER_EXPORTS(std::make_unique<providers::token::TokenProvider>())

KORVAN_PROVIDER_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    return providers::selfRegistrationResult([] {
        return providers::registerProviderEntry(
            providers::token::providerIdentity().providerName,
            providers::modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer)), PROV_RSA_FULL);
    });
}

KORVAN_PROVIDER_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return providers::selfRegistrationResult(
        [] { return providers::unregisterProviderEntry(providers::token::providerIdentity().providerName); });
}
