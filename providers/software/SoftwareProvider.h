// The default PROV_RSA_FULL provider: hashes, public-key import, verification, encryption and
// random bytes in software. It keeps no key containers, so it has no private keys at all.
#pragma once

#include "providers/core/Provider.h"

namespace providers::software {

inline constexpr const char* providerName = "KorvanNG Software RSA Provider v1.0";
inline constexpr const char* providerTypeName = "RSA Full (Signature and Key Exchange)";

class SoftwareProvider : public Provider {
public:
    SoftwareProvider();

    // No container name (or "") with flags 0 succeeds as CRYPT_VERIFYCONTEXT does; a container
    // name, CRYPT_NEWKEYSET or CRYPT_DELETEKEYSET is NTE_BAD_KEYSET, unknown flags NTE_BAD_FLAGS.
    std::unique_ptr<Context> acquireContext(LPCSTR container, DWORD flags,
                                            const VTableProvStruc* vtable) override;
};

} // namespace providers::software
