// Shared set-up of the CryptoAPI tests: a registry store of their own with the test provider
// registered, and the provider's call log.
#pragma once

#include "FakeProvider.h"

#include <wincrypt.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

inline constexpr const char* kFakeProviderName = "Korvan Test Provider";
inline constexpr const char* kFakeProviderImage = "cryptofakeprovider.dll";

// Writes HKEY_LOCAL_MACHINE\...\Defaults\Provider\<name> with "Image Path" and "Type".
void registerProvider(const std::string& name, const std::string& image, DWORD type);
// Names the default provider of a type under "Provider Types\Type NNN".
void registerDefault(DWORD type, const std::string& name);

class CryptoRegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The test provider's log; valid while a context of it is held.
    static FakeProviderLog* providerLog();
    // Acquires the test provider by name with no container and flags 0.
    static HCRYPTPROV acquire(const char* container = nullptr, DWORD flags = 0);

    QTemporaryDir dir_;
};
