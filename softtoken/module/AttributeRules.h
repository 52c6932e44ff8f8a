#pragma once

#include "softtoken/store/TokenStore.h"

#include <korvan/vendor_aux.h>
#include <p11-kit/pkcs11.h>

namespace softtoken::module {

using crypto::Bytes;
using store::Attributes;

enum class ValueKind { Bool, Ulong, Bytes, Date };

enum RuleFlag : unsigned {
    kRequiredOnCreate = 1u << 0,
    kRequiredOnGenerate = 1u << 1,
    kNotOnCreate = 1u << 2,   // the token sets it when an object is created
    kNotOnGenerate = 1u << 3, // key generation produces it
    kModifiable = 1u << 4,
    kSensitive = 1u << 5,   // hidden when the key is sensitive or unextractable
    kOnlyToTrue = 1u << 6,  // may be switched on later, never off
    kOnlyToFalse = 1u << 7, // may be switched off later, never on
};

enum class Default { None, False, True, Empty, Zero, Unavailable };

struct AttributeRule {
    CK_ATTRIBUTE_TYPE type;
    ValueKind kind;
    unsigned flags;
    Default fallback;
};

// The rule for an attribute on an object of the given class, or nullptr when
// the class has no such attribute. The vendor CKA_CONTAINER_NAME fits every class.
const AttributeRule* findRule(CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE type);
bool isSupportedClass(CK_OBJECT_CLASS objectClass);

// Largest template and value the module accepts, so a wild count or length
// cannot make it walk or copy unbounded memory.
inline constexpr CK_ULONG kMaxTemplateCount = 1024;
inline constexpr CK_ULONG kMaxValueLen = 1u << 24;

// Copies a caller's template. CKR_ARGUMENTS_BAD for a null template with a
// count or a count beyond kMaxTemplateCount; CKR_ATTRIBUTE_VALUE_INVALID for a
// null value with a length or a length beyond kMaxValueLen;
// CKR_TEMPLATE_INCONSISTENT when one type appears twice with different values.
CK_RV readTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, Attributes& out);

enum class Purpose { Create, Generate };

// Checks a template against the rules of objectClass and fills in defaults.
// CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_READ_ONLY, CKR_ATTRIBUTE_VALUE_INVALID,
// CKR_TEMPLATE_INCONSISTENT, CKR_TEMPLATE_INCOMPLETE.
CK_RV completeTemplate(CK_OBJECT_CLASS objectClass, const Attributes& given, Purpose purpose,
                       Attributes& out);

// Checks one C_SetAttributeValue change against the rules and the current value.
CK_RV checkChange(CK_OBJECT_CLASS objectClass, const Attributes& current, CK_ATTRIBUTE_TYPE type,
                  const Bytes& value);

// True for a private key that is sensitive but not private: its secret parts would be
// stored unsealed, so such a key is refused (CKR_TEMPLATE_INCONSISTENT).
bool sensitiveInTheClear(CK_OBJECT_CLASS objectClass, const Attributes& attributes);

// True when the attribute's value must not leave the token for this object.
bool isHidden(CK_OBJECT_CLASS objectClass, const Attributes& attributes, CK_ATTRIBUTE_TYPE type);

// Booleans compared in a search template are normalized like stored ones.
Bytes normalizedForSearch(CK_ATTRIBUTE_TYPE type, const Bytes& value);

// Typed helpers over stored attributes.
Bytes ulongBytes(CK_ULONG value);
Bytes boolBytes(bool value);
bool readUlong(const Attributes& a, CK_ATTRIBUTE_TYPE type, CK_ULONG& out);
bool readBool(const Attributes& a, CK_ATTRIBUTE_TYPE type, bool fallback);
const Bytes* findValue(const Attributes& a, CK_ATTRIBUTE_TYPE type);

} // namespace softtoken::module
