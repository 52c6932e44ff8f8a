#pragma once

#include "providers/core/Error.h"

namespace providers::testing {

// The code an operation throws, or ERROR_SUCCESS when it returns.
template <typename Operation>
DWORD errorOf(Operation&& operation) {
    try {
        operation();
    } catch (const ProviderError& error) {
        return error.code();
    }
    return ERROR_SUCCESS;
}

inline DWORD code(HRESULT value) {
    return static_cast<DWORD>(value);
}

} // namespace providers::testing
