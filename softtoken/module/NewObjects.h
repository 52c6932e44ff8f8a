#pragma once

#include "Module.h"

namespace softtoken::module {

// Completes and checks the attributes of an object about to be created or
// generated: the class rules, the vendor attribute, and for RSA keys the
// configured modulus range (CKR_MECHANISM_PARAM_INVALID outside it).
CK_RV prepareObject(const Module& m, CK_OBJECT_CLASS objectClass, Attributes given, Purpose purpose,
                    Attributes& out);

CK_RV checkRsaBits(const Module& m, CK_ULONG bits);

} // namespace softtoken::module
