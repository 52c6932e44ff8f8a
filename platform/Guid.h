// Random GUIDs, laid out and written as Windows writes them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace platform {

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};
};

// A random version-4 GUID.
Guid newGuid();

// "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X": 36 upper-case characters, no braces.
std::string guidText(const Guid& guid);

// guidText(newGuid()).
std::string newGuidText();

// The 16 bytes as a Windows GUID lies in memory: data1, data2 and data3 little-endian.
std::array<uint8_t, 16> guidBytes(const Guid& guid);

} // namespace platform
