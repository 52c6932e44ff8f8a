#include "CryptoTestSupport.h"

#include "platform/Registry.h"

#include <cstdlib>

namespace {
constexpr const char* kProviders = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
constexpr const char* kTypes = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\";
} // namespace

void registerProvider(const std::string& name, const std::string& image, DWORD type) {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine,
                                             std::string(kProviders) + name);
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(key->setString("Image Path", image));
    ASSERT_TRUE(key->setDword("Type", type));
}

void registerDefault(DWORD type, const std::string& name) {
    char number[16];
    std::snprintf(number, sizeof number, "Type %03u", static_cast<unsigned>(type));
    auto key = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine,
                                             std::string(kTypes) + number);
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(key->setString("Name", name));
}

void CryptoRegistryTest::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    setenv("KORVAN_REGISTRY_DIR", dir_.path().toLocal8Bit().constData(), 1);
    registerProvider(kFakeProviderName, kFakeProviderImage, PROV_RSA_FULL);
}

void CryptoRegistryTest::TearDown() {
    unsetenv("KORVAN_REGISTRY_DIR");
}

FakeProviderLog* CryptoRegistryTest::providerLog() {
    HMODULE module = LoadLibraryA(kFakeProviderImage);
    if (module == nullptr)
        return nullptr;
    auto state = reinterpret_cast<FakeProviderStateFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "FakeProviderState")));
    // The layer's own reference keeps the module (and this log) loaded.
    FreeLibrary(module);
    return state != nullptr ? state() : nullptr;
}

HCRYPTPROV CryptoRegistryTest::acquire(const char* container, DWORD flags) {
    HCRYPTPROV provider = 0;
    EXPECT_TRUE(CryptAcquireContextA(&provider, container, kFakeProviderName, PROV_RSA_FULL, flags))
        << std::hex << GetLastError();
    return provider;
}
