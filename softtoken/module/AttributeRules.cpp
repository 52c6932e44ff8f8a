#include "AttributeRules.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace softtoken::module {
namespace {

using V = ValueKind;
using D = Default;
constexpr unsigned kComputed = kNotOnCreate | kNotOnGenerate;

// Storage attributes every class has; a class list may override an entry.
constexpr AttributeRule kCommon[] = {
    {CKA_CLASS, V::Ulong, kRequiredOnCreate, D::None},
    {CKA_TOKEN, V::Bool, 0, D::False},
    {CKA_PRIVATE, V::Bool, 0, D::False},
    {CKA_MODIFIABLE, V::Bool, 0, D::True},
    {CKA_COPYABLE, V::Bool, 0, D::True},
    {CKA_DESTROYABLE, V::Bool, 0, D::True},
    {CKA_LABEL, V::Bytes, kModifiable, D::Empty},
    {CKA_CONTAINER_NAME, V::Bytes, kModifiable, D::None},
};

constexpr AttributeRule kData[] = {
    {CKA_APPLICATION, V::Bytes, kModifiable, D::Empty},
    {CKA_OBJECT_ID, V::Bytes, kModifiable, D::Empty},
    {CKA_VALUE, V::Bytes, kModifiable, D::Empty},
};

constexpr AttributeRule kCertificate[] = {
    {CKA_CERTIFICATE_TYPE, V::Ulong, kRequiredOnCreate, D::None},
    {CKA_TRUSTED, V::Bool, kComputed, D::False},
    {CKA_CERTIFICATE_CATEGORY, V::Ulong, 0, D::Zero},
    {CKA_START_DATE, V::Date, kModifiable, D::Empty},
    {CKA_END_DATE, V::Date, kModifiable, D::Empty},
    {CKA_SUBJECT, V::Bytes, kRequiredOnCreate, D::None},
    {CKA_ID, V::Bytes, kModifiable, D::Empty},
    {CKA_ISSUER, V::Bytes, kModifiable, D::Empty},
    {CKA_SERIAL_NUMBER, V::Bytes, kModifiable, D::Empty},
    {CKA_VALUE, V::Bytes, kRequiredOnCreate, D::None},
    {CKA_URL, V::Bytes, 0, D::Empty},
    {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, V::Bytes, 0, D::Empty},
    {CKA_HASH_OF_ISSUER_PUBLIC_KEY, V::Bytes, 0, D::Empty},
    {CKA_JAVA_MIDP_SECURITY_DOMAIN, V::Ulong, 0, D::Zero},
};

constexpr AttributeRule kKey[] = {
    {CKA_KEY_TYPE, V::Ulong, kRequiredOnCreate, D::None},
    {CKA_ID, V::Bytes, kModifiable, D::Empty},
    {CKA_START_DATE, V::Date, kModifiable, D::Empty},
    {CKA_END_DATE, V::Date, kModifiable, D::Empty},
    {CKA_DERIVE, V::Bool, kModifiable, D::False},
    {CKA_LOCAL, V::Bool, kComputed, D::False},
    {CKA_KEY_GEN_MECHANISM, V::Ulong, kComputed, D::Unavailable},
    {CKA_SUBJECT, V::Bytes, kModifiable, D::Empty},
};

constexpr AttributeRule kPublicKey[] = {
    {CKA_ENCRYPT, V::Bool, kModifiable, D::True},
    {CKA_VERIFY, V::Bool, kModifiable, D::True},
    {CKA_VERIFY_RECOVER, V::Bool, kModifiable, D::False},
    {CKA_WRAP, V::Bool, kModifiable, D::False},
    {CKA_TRUSTED, V::Bool, kComputed, D::False},
    {CKA_MODULUS, V::Bytes, kRequiredOnCreate | kNotOnGenerate, D::None},
    {CKA_MODULUS_BITS, V::Ulong, kNotOnCreate | kRequiredOnGenerate, D::None},
    {CKA_PUBLIC_EXPONENT, V::Bytes, kRequiredOnCreate, D::None},
};

constexpr AttributeRule kPrivateKey[] = {
    {CKA_PRIVATE, V::Bool, 0, D::True},
    {CKA_SENSITIVE, V::Bool, kModifiable | kOnlyToTrue, D::True},
    {CKA_DECRYPT, V::Bool, kModifiable, D::True},
    {CKA_SIGN, V::Bool, kModifiable, D::True},
    {CKA_SIGN_RECOVER, V::Bool, kModifiable, D::False},
    {CKA_UNWRAP, V::Bool, kModifiable, D::False},
    {CKA_EXTRACTABLE, V::Bool, kModifiable | kOnlyToFalse, D::False},
    {CKA_ALWAYS_SENSITIVE, V::Bool, kComputed, D::False},
    {CKA_NEVER_EXTRACTABLE, V::Bool, kComputed, D::False},
    {CKA_WRAP_WITH_TRUSTED, V::Bool, kModifiable | kOnlyToTrue, D::False},
    {CKA_ALWAYS_AUTHENTICATE, V::Bool, kComputed, D::False},
    {CKA_MODULUS, V::Bytes, kRequiredOnCreate | kNotOnGenerate, D::None},
    {CKA_PUBLIC_EXPONENT, V::Bytes, kNotOnGenerate, D::None},
    {CKA_PRIVATE_EXPONENT, V::Bytes, kRequiredOnCreate | kNotOnGenerate | kSensitive, D::None},
    {CKA_PRIME_1, V::Bytes, kNotOnGenerate | kSensitive, D::None},
    {CKA_PRIME_2, V::Bytes, kNotOnGenerate | kSensitive, D::None},
    {CKA_EXPONENT_1, V::Bytes, kNotOnGenerate | kSensitive, D::None},
    {CKA_EXPONENT_2, V::Bytes, kNotOnGenerate | kSensitive, D::None},
    {CKA_COEFFICIENT, V::Bytes, kNotOnGenerate | kSensitive, D::None},
};

const AttributeRule* findIn(std::span<const AttributeRule> rules, CK_ATTRIBUTE_TYPE type) {
    for (const AttributeRule& r : rules)
        if (r.type == type)
            return &r;
    return nullptr;
}

bool validSize(const AttributeRule& rule, const Bytes& value) {
    switch (rule.kind) {
    case V::Bool:
        return value.size() == sizeof(CK_BBOOL);
    case V::Ulong:
        return value.size() == sizeof(CK_ULONG);
    case V::Date:
        return value.empty() || value.size() == sizeof(CK_DATE);
    case V::Bytes:
        return true;
    }
    return false;
}

Bytes defaultValue(Default d) {
    switch (d) {
    case D::False:
        return boolBytes(false);
    case D::True:
        return boolBytes(true);
    case D::Zero:
        return ulongBytes(0);
    case D::Unavailable:
        return ulongBytes(CK_UNAVAILABLE_INFORMATION);
    case D::Empty:
    case D::None:
        break;
    }
    return {};
}

Bytes normalized(const AttributeRule& rule, const Bytes& value) {
    if (rule.kind == V::Bool && value.size() == 1)
        return boolBytes(value[0] != 0);
    return value;
}

} // namespace

bool isSupportedClass(CK_OBJECT_CLASS c) {
    return c == CKO_DATA || c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY;
}

const AttributeRule* findRule(CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE type) {
    const AttributeRule* r = nullptr;
    switch (objectClass) {
    case CKO_DATA:
        r = findIn(kData, type);
        break;
    case CKO_CERTIFICATE:
        r = findIn(kCertificate, type);
        break;
    case CKO_PUBLIC_KEY:
        r = findIn(kPublicKey, type);
        if (!r)
            r = findIn(kKey, type);
        break;
    case CKO_PRIVATE_KEY:
        r = findIn(kPrivateKey, type);
        if (!r)
            r = findIn(kKey, type);
        break;
    default:
        return nullptr;
    }
    return r ? r : findIn(kCommon, type);
}

CK_RV readTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, Attributes& out) {
    out.clear();
    if (count == 0)
        return CKR_OK;
    if (!pTemplate || count > kMaxTemplateCount)
        return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = pTemplate[i];
        if ((!a.pValue && a.ulValueLen != 0) || a.ulValueLen > kMaxValueLen)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        const auto* p = static_cast<const std::uint8_t*>(a.pValue);
        Bytes value(p, p + (p ? a.ulValueLen : 0));
        auto [it, inserted] = out.emplace(a.type, std::move(value));
        if (!inserted && it->second != Bytes(p, p + (p ? a.ulValueLen : 0)))
            return CKR_TEMPLATE_INCONSISTENT;
    }
    return CKR_OK;
}

CK_RV completeTemplate(CK_OBJECT_CLASS objectClass, const Attributes& given, Purpose purpose,
                       Attributes& out) {
    out.clear();
    if (!isSupportedClass(objectClass))
        return CKR_ATTRIBUTE_VALUE_INVALID;
    for (const auto& [type, value] : given) {
        const AttributeRule* rule = findRule(objectClass, type);
        if (!rule)
            return CKR_ATTRIBUTE_TYPE_INVALID;
        if (!validSize(*rule, value))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        const Bytes v = normalized(*rule, value);
        const bool computed = (rule->flags & kComputed) == kComputed;
        if (purpose == Purpose::Create && (rule->flags & kNotOnCreate)) {
            // Stating the value the token sets anyway (CKA_LOCAL false on an
            // imported key, as importers do) is harmless.
            if (!(computed && rule->fallback != D::None && v == defaultValue(rule->fallback)))
                return CKR_ATTRIBUTE_READ_ONLY;
        }
        if (purpose == Purpose::Generate && (rule->flags & kNotOnGenerate))
            return computed ? CKR_ATTRIBUTE_READ_ONLY : CKR_TEMPLATE_INCONSISTENT;
        out[type] = v;
    }
    CK_ULONG ulong = 0;
    if (readUlong(out, CKA_CLASS, ulong) && ulong != objectClass)
        return CKR_TEMPLATE_INCONSISTENT;
    if ((objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY) &&
        readUlong(out, CKA_KEY_TYPE, ulong) && ulong != CKK_RSA)
        return purpose == Purpose::Generate ? CKR_TEMPLATE_INCONSISTENT
                                            : CKR_ATTRIBUTE_VALUE_INVALID;
    if (objectClass == CKO_CERTIFICATE && readUlong(out, CKA_CERTIFICATE_TYPE, ulong) &&
        ulong != CKC_X_509)
        return CKR_ATTRIBUTE_VALUE_INVALID;

    if (purpose == Purpose::Generate) {
        out[CKA_CLASS] = ulongBytes(objectClass);
        if (objectClass != CKO_DATA && objectClass != CKO_CERTIFICATE)
            out[CKA_KEY_TYPE] = ulongBytes(CKK_RSA);
    }
    // Every class list is walked for required attributes and defaults.
    auto walk = [&](std::span<const AttributeRule> rules) -> CK_RV {
        for (const AttributeRule& r : rules) {
            if (findRule(objectClass, r.type) != &r)
                continue; // overridden by the class list
            if (out.count(r.type))
                continue;
            const unsigned required =
                purpose == Purpose::Create ? kRequiredOnCreate : kRequiredOnGenerate;
            if (r.flags & required)
                return CKR_TEMPLATE_INCOMPLETE;
            if (r.fallback != D::None)
                out[r.type] = defaultValue(r.fallback);
        }
        return CKR_OK;
    };
    CK_RV rv = walk(kCommon);
    switch (objectClass) {
    case CKO_DATA:
        if (rv == CKR_OK)
            rv = walk(kData);
        break;
    case CKO_CERTIFICATE:
        if (rv == CKR_OK)
            rv = walk(kCertificate);
        break;
    case CKO_PUBLIC_KEY:
        if (rv == CKR_OK)
            rv = walk(kKey);
        if (rv == CKR_OK)
            rv = walk(kPublicKey);
        break;
    case CKO_PRIVATE_KEY:
        if (rv == CKR_OK)
            rv = walk(kKey);
        if (rv == CKR_OK)
            rv = walk(kPrivateKey);
        break;
    default:
        break;
    }
    return rv;
}

CK_RV checkChange(CK_OBJECT_CLASS objectClass, const Attributes& current, CK_ATTRIBUTE_TYPE type,
                  const Bytes& value) {
    const AttributeRule* rule = findRule(objectClass, type);
    if (!rule)
        return CKR_ATTRIBUTE_TYPE_INVALID;
    if (!(rule->flags & kModifiable))
        return CKR_ATTRIBUTE_READ_ONLY;
    if (!validSize(*rule, value))
        return CKR_ATTRIBUTE_VALUE_INVALID;
    if (rule->kind == V::Bool) {
        const bool was = readBool(current, type, false);
        const bool will = value[0] != 0;
        if ((rule->flags & kOnlyToTrue) && was && !will)
            return CKR_ATTRIBUTE_READ_ONLY;
        if ((rule->flags & kOnlyToFalse) && !was && will)
            return CKR_ATTRIBUTE_READ_ONLY;
    }
    return CKR_OK;
}

bool sensitiveInTheClear(CK_OBJECT_CLASS objectClass, const Attributes& attributes) {
    return objectClass == CKO_PRIVATE_KEY && readBool(attributes, CKA_SENSITIVE, true) &&
           !readBool(attributes, CKA_PRIVATE, true);
}

bool isHidden(CK_OBJECT_CLASS objectClass, const Attributes& attributes, CK_ATTRIBUTE_TYPE type) {
    const AttributeRule* rule = findRule(objectClass, type);
    if (!rule || !(rule->flags & kSensitive))
        return false;
    return readBool(attributes, CKA_SENSITIVE, true) ||
           !readBool(attributes, CKA_EXTRACTABLE, false);
}

Bytes normalizedForSearch(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    // Any class will do: a type is a boolean in every class that has it.
    for (CK_OBJECT_CLASS c : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_DATA})
        if (const AttributeRule* r = findRule(c, type))
            return normalized(*r, value);
    return value;
}

Bytes ulongBytes(CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

Bytes boolBytes(bool value) {
    return Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)};
}

const Bytes* findValue(const Attributes& a, CK_ATTRIBUTE_TYPE type) {
    auto it = a.find(type);
    return it == a.end() ? nullptr : &it->second;
}

bool readUlong(const Attributes& a, CK_ATTRIBUTE_TYPE type, CK_ULONG& out) {
    const Bytes* v = findValue(a, type);
    if (!v || v->size() != sizeof(CK_ULONG))
        return false;
    std::memcpy(&out, v->data(), sizeof out);
    return true;
}

bool readBool(const Attributes& a, CK_ATTRIBUTE_TYPE type, bool fallback) {
    const Bytes* v = findValue(a, type);
    if (!v || v->size() != 1)
        return fallback;
    return (*v)[0] != 0;
}

} // namespace softtoken::module
