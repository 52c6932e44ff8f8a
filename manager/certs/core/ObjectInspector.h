#pragma once

// What the object inspector shows for one token object: its title, the
// attributes of its class's read template as rows, and the hex dump of a row.

#include "CertCommon.h"

#include "TokenObjectInfo.h"

#include <string>
#include <vector>

struct AttributeName {
    CK_ATTRIBUTE_TYPE type;
    int id; // 0: the name is shown untranslated
    const char* name;
    bool boolean;
};

// The attributes read for a class, in row order; empty for other classes.
const std::vector<CK_ATTRIBUTE_TYPE>& ReadTemplate(CK_OBJECT_CLASS objectClass);

// The class's entry for an attribute, or null ("No Defined Type", no row).
const AttributeName* FindAttributeName(CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE type);

// The shown (translated) name of an attribute of a class; "No Defined Type"
// when the class's table lacks it.
std::string AttributeDisplayName(CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE type);

// Dialog title: Certificate, Public Key, Private Key, Data, or Another Data.
std::string InspectorTitle(CK_OBJECT_CLASS objectClass);

// Column titles "Type" and "Value" (10010, 10011); each 200 pixels wide.
std::string InspectorTypeColumn();
std::string InspectorValueColumn();

struct InspectorRow {
    CK_ATTRIBUTE_TYPE type = 0;
    std::string name;
    // "TRUE", "FALSE" or "Not known" for booleans; the short form of
    // AttributeValueText for the others; empty for attributes the object does
    // not have.
    std::string value;
    bool available = true; // false when the token reported the attribute unavailable
    Bytes bytes;           // the attribute's value; empty when null or unavailable
};

// Reads the class's template in one session of its own (lengths first, then
// values) and makes the rows. Attributes the object lacks (an invalid or
// sensitive attribute) still get a row, without a value; any other failure
// gives no rows.
std::vector<InspectorRow> ReadInspectorRows(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                                            const TokenObjectInfo& record);

// The rows for attribute values already read (`present` false: unavailable).
struct AttributeValue {
    CK_ATTRIBUTE_TYPE type;
    bool present;
    Bytes bytes;
};
std::vector<InspectorRow> MakeInspectorRows(CK_OBJECT_CLASS objectClass,
                                            const std::vector<AttributeValue>& values);

// Hex and text dump: lines of `bytesPerLine` bytes (0: everything on one line
// with no line end), hex in groups of `bytesPerGroup`, "  |  ", then the
// printable characters ("." for others), "\r\n". The last, shorter line's hex
// part is padded to the full width.
std::string HexDump(const unsigned char* bytes, size_t length, size_t bytesPerGroup,
                    size_t bytesPerLine);

// What the dialog's edit shows for a selected row (1 byte per group, 16 per line).
std::string InspectorRowDump(const InspectorRow& row);
