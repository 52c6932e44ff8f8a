// Self-registration of a provider module under the key Windows reads providers from:
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, with the module's
// full path as "Image Path" and its type as "Type".
#pragma once

#include <windows.h>

#include <string>

namespace providers {

// The absolute path of the loaded module that holds address; empty when it cannot be told.
std::string modulePathOf(const void* address);

// Writes the provider's entry; false when the path is empty or the store refuses.
bool registerProviderEntry(const char* providerName, const std::string& imagePath, DWORD type);
// Removes it; an entry that is not there is no failure.
bool unregisterProviderEntry(const char* providerName);

// DllRegisterServer's and DllUnregisterServer's answer for a registration step: S_OK, or
// SELFREG_E_CLASS when it failed or threw.
template <class Step>
HRESULT selfRegistrationResult(Step step) noexcept {
    try {
        return step() ? S_OK : SELFREG_E_CLASS;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

} // namespace providers
