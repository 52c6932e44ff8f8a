// UTF-8 and UTF-16 text for the platform code between the registry store (UTF-8) and OLE
// strings (UTF-16). Malformed input becomes U+FFFD rather than failing, so nothing is cut short.
#pragma once

#include <wtypes.h>

#include <string>
#include <string_view>

namespace platform {

std::u16string utf16FromUtf8(std::string_view text);
std::string utf8FromUtf16(std::u16string_view text);

// A BSTR's characters (embedded zeros included); a null BSTR is empty.
std::u16string_view bstrView(BSTR bstr);

// SysAllocStringLen of the text; nullptr only when out of memory.
BSTR bstrFromUtf16(std::u16string_view text);
BSTR bstrFromUtf8(std::string_view text);

} // namespace platform
