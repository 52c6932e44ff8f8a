// GUIDs as registry text, for the platform code that reads and writes registry keys such as
// CLSID\{...}. The form is Windows': "{8-4-4-4-12}" hex digits in braces.
#pragma once

#include <guiddef.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, 38 characters.
std::string guidToText(const GUID& guid);

// Exactly the braces form, hex digits in any case; nullopt for anything else (no blanks, no
// missing braces, no other lengths).
std::optional<GUID> guidFromText(std::string_view text);

} // namespace platform
