// The module's exports: the CP* functions over one TokenProvider, self-registration under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, and the token
// login as a host that bounds its lifetime sees it (platform/crypto/ProviderLogins.h).
#include "providers/core/ProviderModule.h"
#include "providers/core/Registration.h"
#include "providers/token/Identity.h"
#include "providers/token/Token.h"
#include "providers/token/TokenProvider.h"

#include "platform/crypto/ProviderLogins.h"

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

KORVAN_PROVIDER_EXPORT BOOL KorvanCspTakeLogin(DWORD* msAgo) {
    providers::token::TokenLink& link = providers::token::TokenLink::instance();
    const std::lock_guard<std::recursive_mutex> lock(link.mutex());
    DWORD ago = 0;
    if (!link.takeLogin(ago))
        return FALSE;
    if (msAgo != nullptr)
        *msAgo = ago;
    return TRUE;
}

KORVAN_PROVIDER_EXPORT BOOL KorvanCspEndLogin() {
    providers::token::TokenLink& link = providers::token::TokenLink::instance();
    const std::lock_guard<std::recursive_mutex> lock(link.mutex());
    return link.endLogin() ? TRUE : FALSE;
}
