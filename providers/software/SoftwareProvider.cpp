#include "providers/software/SoftwareProvider.h"

namespace providers::software {

namespace {
constexpr DWORD acceptedFlags = CRYPT_VERIFYCONTEXT | CRYPT_SILENT | CRYPT_MACHINE_KEYSET;
} // namespace

SoftwareProvider::SoftwareProvider() : Provider(providerName, PROV_RSA_FULL) {}

std::unique_ptr<Context> SoftwareProvider::acquireContext(LPCSTR container, DWORD flags,
                                                          const VTableProvStruc*) {
    if ((flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) != 0)
        fail(NTE_BAD_KEYSET);
    if ((flags & ~acceptedFlags) != 0)
        fail(NTE_BAD_FLAGS);
    if (container != nullptr && container[0] != '\0')
        fail(NTE_BAD_KEYSET);
    // Every operation this provider offers is a default of the core's context.
    return std::make_unique<Context>(*this);
}

} // namespace providers::software
