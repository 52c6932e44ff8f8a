#pragma once

// A short readable form of an attribute's value for the inspector's Value
// column: the constant's name for a class or type, the text of a label, a
// distinguished name, a number or a date. The bytes come from the token and
// may be anything; what does not decode has no short form.

#include "CertCommon.h"

#include <p11-kit/pkcs11.h>

#include <string>

// Empty when the attribute has no short form or its bytes do not decode.
std::string AttributeValueText(CK_ATTRIBUTE_TYPE type, const Bytes& bytes);
