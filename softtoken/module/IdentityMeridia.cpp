#include "Identity.h"

#include "ProductConfig.h"

namespace softtoken::module {

const ModuleIdentity& moduleIdentity() {
    static const ModuleIdentity identity{
        fixedText(productConfig.libraryDescription, sizeof productConfig.libraryDescription),
        fixedText(productConfig.libraryManufacturer, sizeof productConfig.libraryManufacturer),
        fixedText(productConfig.tokenManufacturer, sizeof productConfig.tokenManufacturer),
        fixedText(productConfig.tokenModel, sizeof productConfig.tokenModel),
        "MERIDIA_TOKEN_CONF",
        "meridiaCsp11_2001",
    };
    return identity;
}

} // namespace softtoken::module
