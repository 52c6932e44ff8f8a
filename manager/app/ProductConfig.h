#pragma once

#include <cstddef>
#include <cstdint>

// The record that binds the program to one product edition. It keeps the
// Windows values byte for byte; the platform layer interprets them (library
// file names, backslash paths, registry key paths). Fields the manager never
// reads are carried unchanged.
#pragma pack(push, 1)
struct ProductConfig {
    std::uint8_t markerGuid[16];
    std::uint32_t recordSize;
    std::uint8_t formatBytes[2];
    std::uint8_t secondaryGuid[16];
    char instanceGuidText[40];
    char productGuidText[60];
    char cspName[260];
    char pkcs11LibraryName[260];
    std::uint8_t flagBytes[5];
    char libraryDescription[33];
    char libraryManufacturer[98];
    char tokenManufacturer[33];
    char tokenModel[50];
    std::uint32_t numericField1;
    std::uint32_t numericField2;
    std::uint32_t numericField3;
    std::uint32_t numericField4;
    std::uint32_t numericField5;
    std::uint32_t numericField6;
    std::uint32_t numericField7;
    std::uint32_t tokenInitParameter;
    char registryKey[260];
    char cspLanguageStem[260];
    char certDaemonLanguageStem[260];
    char managerLanguageStem[260];
    char configFileName[260];
};
#pragma pack(pop)

static_assert(sizeof(ProductConfig) == 2209, "ProductConfig must stay 2209 bytes");
static_assert(offsetof(ProductConfig, tokenInitParameter) == 905);
static_assert(offsetof(ProductConfig, configFileName) == 1949);

// The edition's record, read in place.
extern const ProductConfig productConfig;
