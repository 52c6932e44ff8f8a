#include "providers/token/Identity.h"

namespace providers::token {

const ProviderIdentity& providerIdentity() {
    static const ProviderIdentity identity{
        "Vaultora Korvan2001 CSP for Meridia v1.0",
        "meridiaCsp11_2001.dll",
        "libkorvan_csp_meridia_p11.so",
    };
    return identity;
}

} // namespace providers::token
