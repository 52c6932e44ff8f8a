#include "providers/core/Registration.h"

#include "platform/Registry.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>

namespace providers {

namespace {

std::string providerKey(const char* providerName) {
    return std::string("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + providerName;
}

} // namespace

std::string modulePathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0')
        return {};
    std::string path = info.dli_fname;
    if (path.front() == '/')
        return path;
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) != nullptr ? std::string(resolved) : std::string();
}

bool registerProviderEntry(const char* providerName, const std::string& imagePath, DWORD type) {
    if (imagePath.empty())
        return false;
    auto key = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine,
                                             providerKey(providerName));
    return key && key->setString("Image Path", imagePath) && key->setDword("Type", type);
}

bool unregisterProviderEntry(const char* providerName) {
    using platform::RegistryRoot;
    const std::string key = providerKey(providerName);
    if (!platform::RegistryKey::open(RegistryRoot::LocalMachine, key))
        return true;
    return platform::deleteTree(RegistryRoot::LocalMachine, key);
}

} // namespace providers
