#include "providers/token/Identity.h"

namespace providers::token {

const ProviderIdentity& providerIdentity() {
    static const ProviderIdentity identity{
        "Vaultora CSP v1.0 for Torvik Skyra",
        "qx11skyra.dll",
        "libkorvan_csp_skyra_p11.so",
    };
    return identity;
}

} // namespace providers::token
