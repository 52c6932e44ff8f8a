#include "ObjectInspector.h"

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

TEST(InspectorRowsTest, BooleansShowTrueFalseNotKnownAndUnavailableShowsNothing) {
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
    EXPECT_EQ(rows[0].value, "");
    EXPECT_EQ(rows[1].value, "TRUE");
    EXPECT_EQ(rows[2].value, "FALSE");
    EXPECT_EQ(rows[3].value, "Not known");
    EXPECT_EQ(InspectorRowDump(rows[3]), "");
    EXPECT_EQ(rows[4].name, "CKA_LABEL");
    EXPECT_EQ(InspectorRowDump(rows[4]), "78 " + std::string(45, ' ') + "  |  x\r\n");
    EXPECT_EQ(rows[5].name, "CKA_CONTAINER_NAME");
    EXPECT_FALSE(rows[5].available);
    EXPECT_EQ(rows[5].value, "");
    EXPECT_TRUE(rows[5].bytes.empty());
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
