#include "AttributeText.h"

#include <korvan/vendor_aux.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>

namespace {

// Longer texts and names are cut here; the dump below shows all of it.
constexpr size_t kMaxText = 256;
// An identifier up to this length is shown in hex.
constexpr size_t kMaxIdBytes = 32;

struct ConstantName {
    CK_ULONG value;
    const char* name;
};

constexpr ConstantName kClasses[] = {
    {CKO_DATA, "CKO_DATA"},           {CKO_CERTIFICATE, "CKO_CERTIFICATE"},
    {CKO_PUBLIC_KEY, "CKO_PUBLIC_KEY"}, {CKO_PRIVATE_KEY, "CKO_PRIVATE_KEY"},
    {CKO_SECRET_KEY, "CKO_SECRET_KEY"}, {CKO_HW_FEATURE, "CKO_HW_FEATURE"},
    {CKO_DOMAIN_PARAMETERS, "CKO_DOMAIN_PARAMETERS"}, {CKO_MECHANISM, "CKO_MECHANISM"}};
constexpr ConstantName kKeyTypes[] = {
    {CKK_RSA, "CKK_RSA"},     {CKK_DSA, "CKK_DSA"},       {CKK_DH, "CKK_DH"},
    {CKK_EC, "CKK_EC"},       {CKK_GENERIC_SECRET, "CKK_GENERIC_SECRET"},
    {CKK_DES3, "CKK_DES3"},   {CKK_AES, "CKK_AES"},       {CKK_EC_EDWARDS, "CKK_EC_EDWARDS"}};
constexpr ConstantName kCertificateTypes[] = {{CKC_X_509, "CKC_X_509"},
                                              {CKC_X_509_ATTR_CERT, "CKC_X_509_ATTR_CERT"},
                                              {CKC_WTLS, "CKC_WTLS"}};

bool ulongValue(const Bytes& bytes, CK_ULONG& value) {
    if (bytes.size() != sizeof(CK_ULONG))
        return false;
    std::memcpy(&value, bytes.data(), sizeof value);
    return true;
}

template <size_t N> std::string constantText(const Bytes& bytes, const ConstantName (&names)[N]) {
    CK_ULONG value = 0;
    if (!ulongValue(bytes, value))
        return {};
    for (const ConstantName& entry : names)
        if (entry.value == value)
            return entry.name;
    char text[24];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// Well-formed UTF-8 without control characters, as it stands.
bool printableUtf8(const Bytes& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = bytes[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > bytes.size() || (length == 1 && (c < 0x20 || c == 0x7F)))
            return false;
        if (length == 2 && c < 0xC2)
            return false; // overlong
        for (size_t k = 1; k < length; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

std::string shortened(std::string text) {
    if (text.size() <= kMaxText)
        return text;
    size_t end = kMaxText;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end; // never in the middle of a character
    return text.substr(0, end) + "...";
}

std::string textValue(const Bytes& bytes) {
    if (bytes.empty() || !printableUtf8(bytes))
        return {};
    return shortened(std::string(bytes.begin(), bytes.end()));
}

std::string nameText(const Bytes& bytes) {
    const unsigned char* cursor = bytes.data();
    X509_NAME* name = d2i_X509_NAME(nullptr, &cursor, static_cast<long>(bytes.size()));
    if (name == nullptr)
        return {};
    std::string text;
    if (cursor == bytes.data() + bytes.size()) {
        BIO* out = BIO_new(BIO_s_mem());
        // Most significant part first, as a certificate viewer reads it; UTF-8 kept.
        if (out != nullptr &&
            X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
            char* data = nullptr;
            long length = BIO_get_mem_data(out, &data);
            if (length > 0)
                text = shortened(std::string(data, static_cast<size_t>(length)));
        }
        BIO_free(out);
    }
    X509_NAME_free(name);
    return text;
}

std::string hexText(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

std::string serialText(const Bytes& bytes) {
    const unsigned char* cursor = bytes.data();
    ASN1_INTEGER* serial = d2i_ASN1_INTEGER(nullptr, &cursor, static_cast<long>(bytes.size()));
    if (serial == nullptr)
        return {};
    std::string text;
    if (cursor == bytes.data() + bytes.size() && ASN1_STRING_length(serial) > 0) {
        text = hexText(ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial)));
        if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER)
            text = "-" + text;
    }
    ASN1_INTEGER_free(serial);
    return shortened(text);
}

// A big-endian unsigned number that fits 64 bits.
std::string bigEndianNumber(const Bytes& bytes) {
    if (bytes.empty() || bytes.size() > 8)
        return {};
    unsigned long long value = 0;
    for (unsigned char byte : bytes)
        value = (value << 8) | byte;
    return std::to_string(value);
}

std::string dateText(const Bytes& bytes) {
    if (bytes.size() != sizeof(CK_DATE))
        return {};
    for (unsigned char c : bytes)
        if (c < '0' || c > '9')
            return {};
    std::string digits(bytes.begin(), bytes.end());
    return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
}

} // namespace

std::string AttributeValueText(CK_ATTRIBUTE_TYPE type, const Bytes& bytes) {
    switch (type) {
    case CKA_CLASS:
        return constantText(bytes, kClasses);
    case CKA_KEY_TYPE:
        return constantText(bytes, kKeyTypes);
    case CKA_CERTIFICATE_TYPE:
        return constantText(bytes, kCertificateTypes);
    case CKA_MODULUS_BITS:
    case CKA_VALUE_LEN: {
        CK_ULONG value = 0;
        return ulongValue(bytes, value) ? std::to_string(value) : std::string();
    }
    case CKA_LABEL:
    case CKA_APPLICATION:
    case CKA_CONTAINER_NAME:
        return textValue(bytes);
    case CKA_SUBJECT:
    case CKA_ISSUER:
        return nameText(bytes);
    case CKA_SERIAL_NUMBER:
        return serialText(bytes);
    case CKA_PUBLIC_EXPONENT:
        return bigEndianNumber(bytes);
    case CKA_START_DATE:
    case CKA_END_DATE:
        return dateText(bytes);
    case CKA_ID:
        return bytes.size() <= kMaxIdBytes ? hexText(bytes.data(), bytes.size()) : std::string();
    default:
        return {};
    }
}
