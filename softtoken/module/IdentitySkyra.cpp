#include "Identity.h"

#include "ProductConfig.h"

namespace softtoken::module {

const ModuleIdentity& moduleIdentity() {
    static const ModuleIdentity identity{
        "Skyra PKCS#11 Library.",
        fixedText(productConfig.libraryManufacturer, sizeof productConfig.libraryManufacturer),
        fixedText(productConfig.tokenManufacturer, sizeof productConfig.tokenManufacturer),
        "Torvik Skyra Key",
        "SKYRA_TOKEN_CONF",
        "qx11skyra",
    };
    return identity;
}

} // namespace softtoken::module
