#include "ObjectInspector.h"

#include "AttributeText.h"

#include <korvan/vendor_aux.h>

#include <openssl/x509.h>

#include <cstring>

#include <gtest/gtest.h>

namespace {

const unsigned char* bytesOf(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

TEST(HexDumpTest, ShortLineIsPaddedToTheFullWidth) {
    std::string expected = "61 62 63 " + std::string(39, ' ') + "  |  abc\r\n";
    EXPECT_EQ(HexDump(bytesOf("abc"), 3, 1, 16), expected);
}

TEST(HexDumpTest, FullLineHas48HexCharactersAndNoPartialLine) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i)
        bytes[i] = static_cast<unsigned char>(0x41 + i);
    std::string dump = HexDump(bytes, 16, 1, 16);
    EXPECT_EQ(dump, "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50   |  ABCDEFGHIJKLMNOP\r\n");
    EXPECT_EQ(dump.find("  |  "), 48u);
}

TEST(HexDumpTest, SecondLineAndUnprintableBytes) {
    unsigned char bytes[18] = {};
    bytes[0] = 0x1F;
    bytes[1] = 0x7F;
    bytes[2] = 0x20;
    bytes[3] = 0x7E;
    bytes[16] = 0xFF;
    bytes[17] = 'z';
    std::string dump = HexDump(bytes, 18, 1, 16);
    std::string first = "1F 7F 20 7E 00 00 00 00 00 00 00 00 00 00 00 00   |  .. ~............\r\n";
    std::string second = "FF 7A " + std::string(42, ' ') + "  |  .z\r\n";
    EXPECT_EQ(dump, first + second);
}

TEST(HexDumpTest, GroupsAndSingleLine) {
    const unsigned char bytes[] = {1, 2, 3, 4, 5};
    // Groups of two: full line width (2*2+1)*(4/2) + 2*0 = 10.
    EXPECT_EQ(HexDump(bytes, 5, 2, 4),
              "0102 0304   |  ....\r\n05" + std::string(8, ' ') + "  |  .\r\n");
    // Lines of three in groups of two: "0102 03" is a full line (width 7).
    EXPECT_EQ(HexDump(bytes, 3, 2, 3), "0102 03  |  ...\r\n");
    // No line length: everything on one line, no line end.
    EXPECT_EQ(HexDump(bytesOf("abc"), 3, 1, 0), "61 62 63   |  abc");
    EXPECT_EQ(HexDump(nullptr, 0, 1, 16), "");
}

TEST(InspectorRowsTest, BooleansShowTrueFalseNotKnownOthersTheirShortFormUnavailableNothing) {
    std::vector<AttributeValue> values = {
        {CKA_CLASS, true, Bytes(sizeof(CK_ULONG), 0)},
        {CKA_TOKEN, true, {1}},
        {CKA_PRIVATE, true, {0}},
        {CKA_MODIFIABLE, true, {}},
        {CKA_LABEL, true, {'x'}},
        {CKA_ENCRYPT, true, {1}}, // not in a certificate's table: no row
        {CKA_CONTAINER_NAME, false, {}},
    };
    std::vector<InspectorRow> rows = MakeInspectorRows(CKO_CERTIFICATE, values);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].name, "CKA_CLASS");
    EXPECT_EQ(rows[0].value, "CKO_DATA");
    EXPECT_EQ(rows[1].value, "TRUE");
    EXPECT_EQ(rows[2].value, "FALSE");
    EXPECT_EQ(rows[3].value, "Not known");
    EXPECT_EQ(InspectorRowDump(rows[3]), "");
    EXPECT_EQ(rows[4].name, "CKA_LABEL");
    EXPECT_EQ(rows[4].value, "x");
    EXPECT_EQ(InspectorRowDump(rows[4]), "78 " + std::string(45, ' ') + "  |  x\r\n");
    EXPECT_EQ(rows[5].name, "CKA_CONTAINER_NAME");
    EXPECT_FALSE(rows[5].available);
    EXPECT_EQ(rows[5].value, "");
    EXPECT_TRUE(rows[5].bytes.empty());
}

Bytes ulongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes text(const std::string& value) {
    return Bytes(value.begin(), value.end());
}

Bytes derName() {
    X509_NAME* name = X509_NAME_new();
    for (auto [field, value] : {std::pair{"C", "CN"}, std::pair{"O", "Example Ltd"},
                                std::pair{"CN", "陈 Alice"}})
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    unsigned char* der = nullptr;
    int length = i2d_X509_NAME(name, &der);
    Bytes bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    X509_NAME_free(name);
    return bytes;
}

TEST(AttributeValueTextTest, DecodesNamesTextsNumbersAndDates) {
    EXPECT_EQ(AttributeValueText(CKA_CLASS, ulongBytes(CKO_PRIVATE_KEY)), "CKO_PRIVATE_KEY");
    EXPECT_EQ(AttributeValueText(CKA_CLASS, ulongBytes(0x80000001)), "0x80000001");
    EXPECT_EQ(AttributeValueText(CKA_KEY_TYPE, ulongBytes(CKK_RSA)), "CKK_RSA");
    EXPECT_EQ(AttributeValueText(CKA_CERTIFICATE_TYPE, ulongBytes(CKC_X_509)), "CKC_X_509");
    EXPECT_EQ(AttributeValueText(CKA_MODULUS_BITS, ulongBytes(2048)), "2048");
    EXPECT_EQ(AttributeValueText(CKA_LABEL, text("Alice's key")), "Alice's key");
    EXPECT_EQ(AttributeValueText(CKA_CONTAINER_NAME, text("容器 1")), "容器 1");
    EXPECT_EQ(AttributeValueText(CKA_SUBJECT, derName()), "CN=陈 Alice,O=Example Ltd,C=CN");
    EXPECT_EQ(AttributeValueText(CKA_SERIAL_NUMBER, {0x02, 0x02, 0x01, 0x64}), "0164");
    EXPECT_EQ(AttributeValueText(CKA_PUBLIC_EXPONENT, {0x01, 0x00, 0x01}), "65537");
    EXPECT_EQ(AttributeValueText(CKA_START_DATE, text("20250131")), "2025-01-31");
    EXPECT_EQ(AttributeValueText(CKA_ID, {0xAB, 0x01}), "AB01");
    // The dump alone shows a key's modulus or a certificate's value.
    EXPECT_EQ(AttributeValueText(CKA_MODULUS, {1, 2, 3}), "");
    EXPECT_EQ(AttributeValueText(CKA_VALUE, text("abc")), "");
    // A long label is cut, never inside a character: "é" is two bytes.
    std::string longLabel;
    for (int i = 0; i < 300; ++i)
        longLabel += "\xC3\xA9";
    std::string cut = AttributeValueText(CKA_LABEL, text("a" + longLabel));
    ASSERT_GE(cut.size(), 4u);
    EXPECT_EQ(cut.substr(cut.size() - 3), "...");
    EXPECT_LE(cut.size(), 259u);
    EXPECT_EQ((cut.size() - 3 - 1) % 2, 0u);
}

TEST(AttributeValueTextTest, BytesThatDoNotDecodeHaveNoShortForm) {
    EXPECT_EQ(AttributeValueText(CKA_CLASS, {1, 2, 3}), "");
    EXPECT_EQ(AttributeValueText(CKA_MODULUS_BITS, {}), "");
    EXPECT_EQ(AttributeValueText(CKA_LABEL, {'a', 0x0A, 'b'}), "");
    EXPECT_EQ(AttributeValueText(CKA_LABEL, {'a', 0xC3}), "");       // cut character
    EXPECT_EQ(AttributeValueText(CKA_LABEL, {0xC0, 0x80}), "");      // overlong
    Bytes name = derName();
    name.pop_back();
    EXPECT_EQ(AttributeValueText(CKA_SUBJECT, name), "");           // truncated
    name = derName();
    name.push_back(0);
    EXPECT_EQ(AttributeValueText(CKA_ISSUER, name), "");            // trailing bytes
    EXPECT_EQ(AttributeValueText(CKA_PUBLIC_EXPONENT, Bytes(9, 1)), "");
    EXPECT_EQ(AttributeValueText(CKA_END_DATE, text("2025-1-1")), "");
    EXPECT_EQ(AttributeValueText(CKA_ID, Bytes(33, 1)), "");
}

TEST(InspectorTablesTest, EveryTemplatedAttributeHasANameAndTitlesFollowTheClass) {
    const std::pair<CK_OBJECT_CLASS, size_t> classes[] = {
        {CKO_DATA, 7}, {CKO_CERTIFICATE, 12}, {CKO_PUBLIC_KEY, 18}, {CKO_PRIVATE_KEY, 23}};
    for (auto [objectClass, count] : classes) {
        const auto& types = ReadTemplate(objectClass);
        EXPECT_EQ(types.size(), count);
        for (CK_ATTRIBUTE_TYPE type : types)
            EXPECT_NE(FindAttributeName(objectClass, type), nullptr)
                << objectClass << " 0x" << std::hex << type;
    }
    EXPECT_TRUE(ReadTemplate(CKO_SECRET_KEY).empty());
    EXPECT_EQ(AttributeDisplayName(CKO_DATA, CKA_ID), "No Defined Type");
    EXPECT_EQ(FindAttributeName(CKO_DATA, CKA_VALUE)->id, 0);
    EXPECT_EQ(FindAttributeName(CKO_CERTIFICATE, CKA_VALUE)->id, 1483);
    EXPECT_EQ(FindAttributeName(CKO_PRIVATE_KEY, CKA_START_DATE)->id, 1450);
    EXPECT_EQ(FindAttributeName(CKO_PUBLIC_KEY, CKA_START_DATE)->id, 0);
    EXPECT_TRUE(FindAttributeName(CKO_PRIVATE_KEY, CKA_SIGN)->boolean);
    EXPECT_FALSE(FindAttributeName(CKO_PRIVATE_KEY, CKA_MODULUS)->boolean);

    EXPECT_EQ(InspectorTitle(CKO_CERTIFICATE), "Certificate");
    EXPECT_EQ(InspectorTitle(CKO_PUBLIC_KEY), "Public Key");
    EXPECT_EQ(InspectorTitle(CKO_PRIVATE_KEY), "Private Key");
    EXPECT_EQ(InspectorTitle(CKO_DATA), "Data");
    EXPECT_EQ(InspectorTitle(CKO_SECRET_KEY), "Another Data");
}

} // namespace
