// The provider's key container names (PP_ENUMCONTAINERS), read the same way by the certificate
// scan and by the enrolment members.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <functional>

namespace certflows {

// A provider that answers with empty names forever must not keep an enumeration going: no
// enumeration makes more calls than this.
inline constexpr int kMaxEnumerationCalls = 1000;
// A provider announcing a longer name than this is not believed: the enumeration ends there.
inline constexpr DWORD kMaxAnnouncedNameSize = 65536;

enum class Enumeration {
    Ended,           // the provider had no more names, `take` declined one, or the call limit
    FirstCallFailed, // not even the first name could be read
};

// Hands every non-empty name to `take`, in the provider's order, until the enumeration ends or
// `take` returns false. A name too long for the buffer offered (ERROR_MORE_DATA, which leaves
// the provider on that name) is read again at the size the provider announced; a name that
// with its terminator does not fit `entrySize` bytes is read past and skipped, so one long name
// never hides the ones after it.
Enumeration enumerateContainers(HCRYPTPROV provider, size_t entrySize,
                                const std::function<bool(const char* name)>& take);

} // namespace certflows
