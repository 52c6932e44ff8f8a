#include "ObjectInspector.h"

#include "AttributeText.h"

#include "Translator.h"

#include <cstdio>
#include <map>

namespace {

using NameTable = std::vector<AttributeName>;

const NameTable& commonNames() {
    static const NameTable table = {
        {CKA_CLASS, 1400, "CKA_CLASS", false},    {CKA_TOKEN, 1401, "CKA_TOKEN", true},
        {CKA_PRIVATE, 1402, "CKA_PRIVATE", true}, {CKA_MODIFIABLE, 1403, "CKA_MODIFIABLE", true},
        {CKA_LABEL, 1404, "CKA_LABEL", false},
    };
    return table;
}

NameTable withCommon(std::initializer_list<AttributeName> own) {
    NameTable table = commonNames();
    table.insert(table.end(), own);
    return table;
}

// A key class's table: the common names, the class's own, then the names
// both key classes share.
NameTable keyNames(std::initializer_list<AttributeName> own) {
    static const NameTable shared = {
        {CKA_KEY_TYPE, 1405, "CKA_KEY_TYPE", false},
        {CKA_ID, 1406, "CKA_ID", false},
        {CKA_DERIVE, 1407, "CKA_DERIVE", true},
        {CKA_LOCAL, 1408, "CKA_LOCAL", true},
        {CKA_SUBJECT, 1409, "CKA_SUBJECT", false},
        {CKA_MODULUS, 1414, "CKA_MODULUS", false},
        {CKA_PUBLIC_EXPONENT, 1416, "CKA_PUBLIC_EXPONENT", false},
        {CKA_CONTAINER_NAME, 1484, "CKA_CONTAINER_NAME", false},
    };
    NameTable table = withCommon(own);
    table.insert(table.end(), shared.begin(), shared.end());
    return table;
}

const NameTable& namesOf(CK_OBJECT_CLASS objectClass) {
    static const NameTable data = withCommon({
        {CKA_APPLICATION, 0, "CKA_APPLICATION", false},
        {CKA_VALUE, 0, "CKA_VALUE", false},
    });
    static const NameTable certificate = withCommon({
        {CKA_ID, 1406, "CKA_ID", false},
        {CKA_SUBJECT, 1409, "CKA_SUBJECT", false},
        {CKA_CERTIFICATE_TYPE, 1480, "CKA_CERTIFICATE_TYPE", false},
        {CKA_ISSUER, 1481, "CKA_ISSUER", false},
        {CKA_SERIAL_NUMBER, 1482, "CKA_SERIAL_NUMBER", false},
        {CKA_VALUE, 1483, "CKA_VALUE", false},
        {CKA_CONTAINER_NAME, 1484, "CKA_CONTAINER_NAME", false},
    });
    static const NameTable publicKey = keyNames({
        {CKA_ENCRYPT, 1410, "CKA_ENCRYPT", true},
        {CKA_VERIFY, 1411, "CKA_VERIFY", true},
        {CKA_VERIFY_RECOVER, 1412, "CKA_VERIFY_RECOVER", true},
        {CKA_WRAP, 1413, "CKA_WRAP", true},
        {CKA_MODULUS_BITS, 1415, "CKA_MODULUS_BITS", false},
        {CKA_START_DATE, 0, "CKA_START_DATE", false},
        {CKA_END_DATE, 0, "CKA_END_DATE", false},
    });
    static const NameTable privateKey = keyNames({
        {CKA_START_DATE, 1450, "CKA_START_DATE", false},
        {CKA_END_DATE, 1451, "CKA_END_DATE", false},
        {CKA_SENSITIVE, 1452, "CKA_SENSITIVE", true},
        {CKA_DECRYPT, 1453, "CKA_DECRYPT", true},
        {CKA_SIGN, 1454, "CKA_SIGN", true},
        {CKA_SIGN_RECOVER, 1455, "CKA_SIGN_RECOVER", true},
        {CKA_UNWRAP, 1456, "CKA_UNWRAP", true},
        {CKA_EXTRACTABLE, 1457, "CKA_EXTRACTABLE", true},
        {CKA_ALWAYS_SENSITIVE, 1458, "CKA_ALWAYS_SENSITIVE", true},
        {CKA_NEVER_EXTRACTABLE, 1459, "CKA_NEVER_EXTRACTABLE", true},
    });
    static const NameTable none;
    switch (objectClass) {
    case CKO_DATA:
        return data;
    case CKO_CERTIFICATE:
        return certificate;
    case CKO_PUBLIC_KEY:
        return publicKey;
    case CKO_PRIVATE_KEY:
        return privateKey;
    default:
        return none;
    }
}

// CKR_ATTRIBUTE_TYPE_INVALID and CKR_ATTRIBUTE_SENSITIVE still fill every
// other attribute of the template: the object simply lacks some.
bool partialAnswer(CK_RV rv) {
    return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE;
}

void appendHexPart(std::string& out, const unsigned char* bytes, size_t count, size_t group) {
    char hex[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        out += hex;
        // Only complete groups end with a space.
        if ((i + 1) % group == 0 && i + 1 <= count - count % group)
            out += ' ';
    }
}

void appendLine(std::string& out, const unsigned char* bytes, size_t count, size_t group,
                size_t width, bool lineEnd) {
    size_t start = out.size();
    appendHexPart(out, bytes, count, group);
    out.append(width > out.size() - start ? width - (out.size() - start) : 0, ' ');
    out += "  |  ";
    for (size_t i = 0; i < count; ++i)
        out += bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
    if (lineEnd)
        out += "\r\n";
}

} // namespace

const std::vector<CK_ATTRIBUTE_TYPE>& ReadTemplate(CK_OBJECT_CLASS objectClass) {
    static const std::vector<CK_ATTRIBUTE_TYPE> data = {
        CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL, CKA_APPLICATION, CKA_VALUE};
    static const std::vector<CK_ATTRIBUTE_TYPE> certificate = {
        CKA_CLASS,   CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE,    CKA_LABEL, CKA_CERTIFICATE_TYPE,
        CKA_SUBJECT, CKA_ID,    CKA_ISSUER,  CKA_SERIAL_NUMBER, CKA_VALUE, CKA_CONTAINER_NAME};
    static const std::vector<CK_ATTRIBUTE_TYPE> publicKey = {
        CKA_CLASS,           CKA_TOKEN,         CKA_PRIVATE, CKA_MODIFIABLE,
        CKA_LABEL,           CKA_KEY_TYPE,      CKA_ID,      CKA_DERIVE,
        CKA_LOCAL,           CKA_SUBJECT,       CKA_ENCRYPT, CKA_VERIFY,
        CKA_VERIFY_RECOVER,  CKA_WRAP,          CKA_MODULUS, CKA_MODULUS_BITS,
        CKA_PUBLIC_EXPONENT, CKA_CONTAINER_NAME};
    static const std::vector<CK_ATTRIBUTE_TYPE> privateKey = {CKA_CLASS,
                                                              CKA_TOKEN,
                                                              CKA_PRIVATE,
                                                              CKA_MODIFIABLE,
                                                              CKA_LABEL,
                                                              CKA_KEY_TYPE,
                                                              CKA_ID,
                                                              CKA_START_DATE,
                                                              CKA_END_DATE,
                                                              CKA_DERIVE,
                                                              CKA_LOCAL,
                                                              CKA_SUBJECT,
                                                              CKA_SENSITIVE,
                                                              CKA_DECRYPT,
                                                              CKA_SIGN,
                                                              CKA_SIGN_RECOVER,
                                                              CKA_UNWRAP,
                                                              CKA_EXTRACTABLE,
                                                              CKA_ALWAYS_SENSITIVE,
                                                              CKA_NEVER_EXTRACTABLE,
                                                              CKA_MODULUS,
                                                              CKA_PUBLIC_EXPONENT,
                                                              CKA_CONTAINER_NAME};
    static const std::vector<CK_ATTRIBUTE_TYPE> none;
    switch (objectClass) {
    case CKO_DATA:
        return data;
    case CKO_CERTIFICATE:
        return certificate;
    case CKO_PUBLIC_KEY:
        return publicKey;
    case CKO_PRIVATE_KEY:
        return privateKey;
    default:
        return none;
    }
}

const AttributeName* FindAttributeName(CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE type) {
    for (const AttributeName& entry : namesOf(objectClass))
        if (entry.type == type)
            return &entry;
    return nullptr;
}

std::string AttributeDisplayName(CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE type) {
    const AttributeName* entry = FindAttributeName(objectClass, type);
    if (entry == nullptr)
        return "No Defined Type";
    return entry->id != 0 ? translate(entry->id, entry->name) : std::string(entry->name);
}

std::string InspectorTitle(CK_OBJECT_CLASS objectClass) {
    switch (objectClass) {
    case CKO_CERTIFICATE:
        return translate(1300, "Certificate");
    case CKO_PUBLIC_KEY:
        return translate(1301, "Public Key");
    case CKO_PRIVATE_KEY:
        return translate(1302, "Private Key");
    case CKO_DATA:
        return translate(1303, "Data");
    default:
        return translate(1303, "Another Data");
    }
}

std::string InspectorTypeColumn() {
    return translate(10010, "Type");
}
std::string InspectorValueColumn() {
    return translate(10011, "Value");
}

std::vector<InspectorRow> MakeInspectorRows(CK_OBJECT_CLASS objectClass,
                                            const std::vector<AttributeValue>& values) {
    std::vector<InspectorRow> rows;
    for (const AttributeValue& value : values) {
        const AttributeName* entry = FindAttributeName(objectClass, value.type);
        if (entry == nullptr)
            continue;
        InspectorRow row;
        row.type = value.type;
        row.name = AttributeDisplayName(objectClass, value.type);
        row.available = value.present;
        if (value.present)
            row.bytes = value.bytes;
        if (entry->boolean && value.present)
            row.value = value.bytes.empty() ? "Not known" : value.bytes[0] != 0 ? "TRUE" : "FALSE";
        else if (value.present)
            row.value = AttributeValueText(value.type, value.bytes);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<InspectorRow> ReadInspectorRows(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                                            const TokenObjectInfo& record) {
    const std::vector<CK_ATTRIBUTE_TYPE>& types = ReadTemplate(record.objectClass);
    if (types.empty() || functions == nullptr)
        return {};
    ScopedSession session(functions, slotId);
    if (session.result() != CKR_OK)
        return {};

    std::vector<CK_ATTRIBUTE> attributes;
    for (CK_ATTRIBUTE_TYPE type : types)
        attributes.push_back({type, nullptr, 0});
    CK_ULONG count = static_cast<CK_ULONG>(attributes.size());
    if (!partialAnswer(functions->C_GetAttributeValue(session.handle(), record.handle,
                                                      attributes.data(), count)))
        return {};

    std::vector<Bytes> buffers(attributes.size());
    std::vector<bool> present(attributes.size(), true);
    for (size_t i = 0; i < attributes.size(); ++i) {
        // An unavailable value, or one longer than any real one, is shown as
        // unavailable; nothing is allocated for it.
        if (attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
            attributes[i].ulValueLen > kMaxAttributeLength) {
            present[i] = false;
            attributes[i].ulValueLen = 0;
            continue;
        }
        buffers[i].resize(attributes[i].ulValueLen);
        attributes[i].pValue = buffers[i].empty() ? nullptr : buffers[i].data();
    }
    if (!partialAnswer(functions->C_GetAttributeValue(session.handle(), record.handle,
                                                      attributes.data(), count)))
        return {};

    std::vector<AttributeValue> values;
    for (size_t i = 0; i < attributes.size(); ++i) {
        AttributeValue value{types[i], present[i], {}};
        if (present[i] && attributes[i].pValue != nullptr) {
            if (attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
                attributes[i].ulValueLen > buffers[i].size())
                value.present = false;
            else
                value.bytes.assign(buffers[i].begin(),
                                   buffers[i].begin() +
                                       static_cast<std::ptrdiff_t>(attributes[i].ulValueLen));
        }
        values.push_back(std::move(value));
    }
    return MakeInspectorRows(record.objectClass, values);
}

std::string HexDump(const unsigned char* bytes, size_t length, size_t bytesPerGroup,
                    size_t bytesPerLine) {
    std::string out;
    if (bytes == nullptr || length == 0)
        return out;
    size_t group = bytesPerGroup == 0 ? 1 : bytesPerGroup;
    if (bytesPerLine == 0) {
        size_t width = (2 * group + 1) * (length / group) + 2 * (length % group);
        appendLine(out, bytes, length, group, width, false);
        return out;
    }
    const size_t width = (2 * group + 1) * (bytesPerLine / group) + 2 * (bytesPerLine % group);
    size_t offset = 0;
    for (; offset + bytesPerLine <= length; offset += bytesPerLine)
        appendLine(out, bytes + offset, bytesPerLine, group, width, true);
    if (offset < length)
        appendLine(out, bytes + offset, length - offset, group, width, true);
    return out;
}

std::string InspectorRowDump(const InspectorRow& row) {
    return HexDump(row.bytes.data(), row.bytes.size(), 1, 16);
}
