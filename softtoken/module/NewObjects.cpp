#include "NewObjects.h"

namespace softtoken::module {

CK_RV checkRsaBits(const Module& m, CK_ULONG bits) {
    if (bits < m.config().rsaMinBits || bits > m.config().rsaMaxBits)
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

CK_RV prepareObject(const Module& m, CK_OBJECT_CLASS objectClass, Attributes given, Purpose purpose,
                    Attributes& out) {
    CK_ULONG statedBits = 0;
    const bool bitsStated = purpose == Purpose::Create && objectClass == CKO_PUBLIC_KEY &&
                            readUlong(given, CKA_MODULUS_BITS, statedBits);
    if (bitsStated)
        given.erase(CKA_MODULUS_BITS); // computed below; a stated value must agree
    CK_RV rv = completeTemplate(objectClass, given, purpose, out);
    if (rv != CKR_OK)
        return rv;
    if (sensitiveInTheClear(objectClass, out))
        return CKR_TEMPLATE_INCONSISTENT;
    if (purpose == Purpose::Create &&
        (objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY)) {
        const CK_ULONG bits = crypto::rsaModulusBits(out.at(CKA_MODULUS));
        if (bitsStated && statedBits != bits)
            return CKR_TEMPLATE_INCONSISTENT;
        rv = checkRsaBits(m, bits);
        if (rv != CKR_OK)
            return rv;
        if (objectClass == CKO_PUBLIC_KEY)
            out[CKA_MODULUS_BITS] = ulongBytes(bits);
    }
    return CKR_OK;
}

} // namespace softtoken::module
