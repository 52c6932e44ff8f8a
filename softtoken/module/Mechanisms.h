#pragma once

#include <p11-kit/pkcs11.h>

#include <span>

namespace softtoken::module {

struct MechanismEntry {
    CK_MECHANISM_TYPE type;
    CK_FLAGS flags;
    bool rsa; // key sizes come from the configured RSA range
};

std::span<const MechanismEntry> supportedMechanisms();

} // namespace softtoken::module
