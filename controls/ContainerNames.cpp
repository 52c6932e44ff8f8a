#include "controls/ContainerNames.h"

#include <cstring>
#include <string>
#include <vector>

namespace certflows {

Enumeration enumerateContainers(HCRYPTPROV provider, size_t entrySize,
                                const std::function<bool(const char* name)>& take) {
    DWORD flags = CRYPT_FIRST;
    std::vector<BYTE> buffer(entrySize > 0 ? entrySize : 1);
    for (int call = 0; call < kMaxEnumerationCalls; ++call) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (!CryptGetProvParam(provider, PP_ENUMCONTAINERS, buffer.data(), &length, flags)) {
            // The same entry again, with the same flags, in a buffer of the announced size.
            if (GetLastError() == ERROR_MORE_DATA && length > buffer.size() && length <= kMaxAnnouncedNameSize) {
                buffer.assign(length, 0);
                continue;
            }
            return flags == CRYPT_FIRST ? Enumeration::FirstCallFailed : Enumeration::Ended;
        }
        flags = 0;
        const size_t written = length < buffer.size() ? length : buffer.size();
        const size_t nameLength = strnlen(reinterpret_cast<const char*>(buffer.data()), written);
        if (nameLength == 0 || nameLength + 1 > entrySize)
            continue;
        const std::string name(reinterpret_cast<const char*>(buffer.data()), nameLength);
        if (!take(name.c_str()))
            return Enumeration::Ended;
    }
    return Enumeration::Ended;
}

} // namespace certflows
