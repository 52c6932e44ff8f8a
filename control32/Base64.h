// Base64 with the standard alphabet, "=" padding and no line breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace meridia {

// A text is valid when its length is a multiple of 4, every character is from the alphabet
// except "=" in the last two positions, and a "=" second to last is followed by another.
bool IsValidBase64(std::string_view text);

// 4 × ceil(n / 3) characters.
std::string EncodeBase64(const std::uint8_t* data, std::size_t length);

// The bytes of a valid text (length / 4 × 3 minus the pad count); empty for an invalid one.
std::vector<std::uint8_t> DecodeBase64(std::string_view text);

} // namespace meridia
