#include "ProductConfig.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

const unsigned char* recordBytes() {
    return reinterpret_cast<const unsigned char*>(&productConfig);
}

std::uint32_t readLittleEndian32(std::size_t offset) {
    const unsigned char* p = recordBytes() + offset;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

struct TextField {
    std::size_t offset;
    std::size_t width;
    const char* value;
};

// Offsets and values as the edition fixes them; the GUID texts are checked for shape only.
const TextField kTextFields[] = {
    {0x08A, 260, "Vaultora Korvan2001 CSP for Meridia v1.0"},
    {0x18E, 260, "meridiaCsp11_2001.dll"},
    {0x297, 33, "Vaultora PKCS#11 Library."},
    {0x2B8, 98, "Halvor Technologies Co., Ltd."},
    {0x31A, 33, "Halvor Technologies Co., Ltd."},
    {0x33B, 50, "Vaultora USB Key"},
    {0x38D, 260, "Software\\Vaultora\\meridia_Korvan2001"},
    {0x491, 260, "lang\\vtcsp_meridia"},
    {0x595, 260, "lang\\vtcertd_meridia"},
    {0x699, 260, "lang\\vtmgr_meridia"},
    {0x79D, 260, "vtcfg.ini"},
};

void expectTerminatedAndZeroPadded(std::size_t offset, std::size_t width) {
    const unsigned char* field = recordBytes() + offset;
    const void* nul = std::memchr(field, 0, width);
    ASSERT_NE(nul, nullptr) << "no NUL inside field at offset " << offset;
    for (auto* p = static_cast<const unsigned char*>(nul); p < field + width; ++p)
        EXPECT_EQ(*p, 0) << "non-zero byte behind the NUL at offset " << (p - recordBytes());
}

bool isUpperGuidText(const std::string& s) {
    if (s.size() != 36)
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? s[i] != '-'
                   : !std::isxdigit(static_cast<unsigned char>(s[i])) ||
                         std::islower(static_cast<unsigned char>(s[i])))
            return false;
    }
    return true;
}

TEST(ProductConfig, SizeMatchesRecordSizeField) {
    EXPECT_EQ(sizeof(ProductConfig), 2209u);
    EXPECT_EQ(productConfig.recordSize, 2209u);
    EXPECT_EQ(readLittleEndian32(0x010), 0x000008A1u);
}

TEST(ProductConfig, EveryFieldAtItsOffset) {
    EXPECT_EQ(offsetof(ProductConfig, markerGuid), 0x000u);
    EXPECT_EQ(offsetof(ProductConfig, recordSize), 0x010u);
    EXPECT_EQ(offsetof(ProductConfig, formatBytes), 0x014u);
    EXPECT_EQ(offsetof(ProductConfig, secondaryGuid), 0x016u);
    EXPECT_EQ(offsetof(ProductConfig, instanceGuidText), 0x026u);
    EXPECT_EQ(offsetof(ProductConfig, productGuidText), 0x04Eu);
    EXPECT_EQ(offsetof(ProductConfig, cspName), 0x08Au);
    EXPECT_EQ(offsetof(ProductConfig, pkcs11LibraryName), 0x18Eu);
    EXPECT_EQ(offsetof(ProductConfig, flagBytes), 0x292u);
    EXPECT_EQ(offsetof(ProductConfig, libraryDescription), 0x297u);
    EXPECT_EQ(offsetof(ProductConfig, libraryManufacturer), 0x2B8u);
    EXPECT_EQ(offsetof(ProductConfig, tokenManufacturer), 0x31Au);
    EXPECT_EQ(offsetof(ProductConfig, tokenModel), 0x33Bu);
    EXPECT_EQ(offsetof(ProductConfig, numericField1), 0x36Du);
    EXPECT_EQ(offsetof(ProductConfig, numericField2), 0x371u);
    EXPECT_EQ(offsetof(ProductConfig, numericField3), 0x375u);
    EXPECT_EQ(offsetof(ProductConfig, numericField4), 0x379u);
    EXPECT_EQ(offsetof(ProductConfig, numericField5), 0x37Du);
    EXPECT_EQ(offsetof(ProductConfig, numericField6), 0x381u);
    EXPECT_EQ(offsetof(ProductConfig, numericField7), 0x385u);
    EXPECT_EQ(offsetof(ProductConfig, tokenInitParameter), 0x389u);
    EXPECT_EQ(offsetof(ProductConfig, registryKey), 0x38Du);
    EXPECT_EQ(offsetof(ProductConfig, cspLanguageStem), 0x491u);
    EXPECT_EQ(offsetof(ProductConfig, certDaemonLanguageStem), 0x595u);
    EXPECT_EQ(offsetof(ProductConfig, managerLanguageStem), 0x699u);
    EXPECT_EQ(offsetof(ProductConfig, configFileName), 0x79Du);
}

TEST(ProductConfig, TextsHaveTheirValuesTerminatedAndZeroPadded) {
    for (const auto& f : kTextFields) {
        SCOPED_TRACE(f.value);
        EXPECT_STREQ(reinterpret_cast<const char*>(recordBytes() + f.offset), f.value);
        expectTerminatedAndZeroPadded(f.offset, f.width);
    }
    expectTerminatedAndZeroPadded(0x026, 40);
    expectTerminatedAndZeroPadded(0x04E, 60);
}

TEST(ProductConfig, GuidTextsAreUpperCaseWithoutBraces) {
    EXPECT_TRUE(isUpperGuidText(productConfig.instanceGuidText)) << productConfig.instanceGuidText;
    std::string product = productConfig.productGuidText;
    ASSERT_EQ(product.size(), 36u + 7u);
    EXPECT_TRUE(isUpperGuidText(product.substr(0, 36))) << product;
    EXPECT_EQ(product.substr(36), "_HALVOR");
}

TEST(ProductConfig, NumbersAndFixedBytes) {
    const unsigned char* r = recordBytes();
    EXPECT_EQ(r[0x014], 0x00);
    EXPECT_EQ(r[0x015], 0x01);
    for (std::size_t i = 0; i < 16; ++i)
        EXPECT_EQ(r[0x016 + i], 0) << "secondary GUID byte " << i;
    const unsigned char flags[5] = {0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(r + 0x292, flags, 5), 0);
    const std::uint32_t numbers[7] = {4, 16, 4, 16, 0, 0, 1};
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(readLittleEndian32(0x36D + 4 * i), numbers[i]) << "numericField" << i + 1;
}

TEST(ProductConfig, UnalignedInitParameterReadsInPlace) {
    EXPECT_EQ(readLittleEndian32(905), 0x00000900u);
    // Copied out first: a reference to the packed field would be misaligned.
    const std::uint32_t inPlace = productConfig.tokenInitParameter;
    EXPECT_EQ(inPlace, 0x00000900u);
}

} // namespace
