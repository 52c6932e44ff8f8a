#include "Mechanisms.h"

namespace softtoken::module {

std::span<const MechanismEntry> supportedMechanisms() {
    // The token presents itself as a device in a hardware reader (CKF_HW_SLOT), so
    // its mechanisms are the device's: CKF_HW. Tools look for it before testing signatures.
    static constexpr CK_FLAGS kSignVerify = CKF_HW | CKF_SIGN | CKF_VERIFY;
    static constexpr MechanismEntry kAll[] = {
        {CKM_RSA_PKCS_KEY_PAIR_GEN, CKF_HW | CKF_GENERATE_KEY_PAIR, true},
        {CKM_RSA_PKCS, CKF_ENCRYPT | CKF_DECRYPT | kSignVerify, true},
        {CKM_MD5_RSA_PKCS, kSignVerify, true},
        {CKM_SHA1_RSA_PKCS, kSignVerify, true},
        {CKM_SHA256_RSA_PKCS, kSignVerify, true},
        {CKM_SHA384_RSA_PKCS, kSignVerify, true},
        {CKM_SHA512_RSA_PKCS, kSignVerify, true},
        {CKM_RSA_PKCS_PSS, kSignVerify, true},
        {CKM_SHA256_RSA_PKCS_PSS, kSignVerify, true},
        {CKM_SHA384_RSA_PKCS_PSS, kSignVerify, true},
        {CKM_SHA512_RSA_PKCS_PSS, kSignVerify, true},
        {CKM_RSA_PKCS_OAEP, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT, true},
        {CKM_MD5, CKF_HW | CKF_DIGEST, false},
        {CKM_SHA_1, CKF_HW | CKF_DIGEST, false},
        {CKM_SHA256, CKF_HW | CKF_DIGEST, false},
        {CKM_SHA384, CKF_HW | CKF_DIGEST, false},
        {CKM_SHA512, CKF_HW | CKF_DIGEST, false},
    };
    return kAll;
}

} // namespace softtoken::module
