// How provider code reports a failure: it throws ProviderError with the Windows code the caller
// reads through GetLastError. The export glue catches it (and everything else) at the module
// boundary, sets the last error and returns FALSE, so no exception ever leaves a provider module.
#pragma once

#include <windows.h>

#include <exception>

namespace providers {

class ProviderError : public std::exception {
public:
    // Takes NTE_* HRESULTs and Win32 codes alike; both travel as DWORDs through SetLastError.
    explicit ProviderError(HRESULT code) : code_(static_cast<DWORD>(code)) {}
    explicit ProviderError(DWORD code) : code_(code) {}

    DWORD code() const noexcept { return code_; }
    const char* what() const noexcept override { return "provider operation failed"; }

private:
    DWORD code_;
};

[[noreturn]] inline void fail(HRESULT code) {
    throw ProviderError(code);
}
[[noreturn]] inline void fail(DWORD code) {
    throw ProviderError(code);
}

} // namespace providers
