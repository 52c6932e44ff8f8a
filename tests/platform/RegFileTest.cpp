#include "platform/registry/RegFile.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::registry::parseRegText;
using platform::registry::RegContent;
using platform::registry::writeRegText;

QByteArray reg(const std::string& body) {
    return QByteArray::fromStdString(std::string(platform::registry::kRegHeader) + "\n" + body);
}

TEST(RegFileTest, ReadsTheExportFormat) {
    const auto parsed = parseRegText(
        "\xEF\xBB\xBF; made by a package\r\nWindows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Vaultora]\r\n"
        "\"LanguageId\"=\"2052\"\r\n"
        "\"Count\"=dword:0000000A  \r\n"
        "\"Path \\\"q\\\"\"=\"C:\\\\x \\\"y\\\"\"\r\n"
        "[hkey_classes_root\\CLSID\\{1}\\InprocServer32]\n"
        "@=\"/usr/lib/m.so\"\n"
        "\"languageid\"=\"later\"\n"
        "[HKEY_LOCAL_MACHINE\\software\\VAULTORA]\n"
        "\"LANGUAGEID\"=\"1033\"\n",
        "a.reg");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const QJsonObject& machine = parsed.content.localMachine;
    // Parents are keys of their own; a section named twice is one key, later values winning.
    EXPECT_EQ(machine.keys(), (QStringList{"Software", "Software\\Vaultora"}));
    const QJsonObject values = machine.value("Software\\Vaultora").toObject();
    EXPECT_EQ(values.value("LanguageId").toString(), "1033");
    EXPECT_EQ(values.value("Count").toInteger(), 10);
    EXPECT_EQ(values.value("Path \"q\"").toString(), "C:\\x \"y\"");
    const QJsonObject server =
        parsed.content.classesRoot.value("CLSID\\{1}\\InprocServer32").toObject();
    EXPECT_EQ(server.value("").toString(), "/usr/lib/m.so");
    EXPECT_TRUE(parsed.content.classesRoot.contains("CLSID"));

    const auto empty = parseRegText("; nothing configured yet\n\n", "etc");
    EXPECT_TRUE(empty.ok) << empty.error;
}

TEST(RegFileTest, HostileTextIsRefusedWholeWithFileAndLine) {
    const std::string longLine(platform::registry::kMaxRegLineBytes + 1, 'a');
    std::string manyKeys;
    for (std::size_t i = 0; i <= platform::registry::kMaxRegKeys; ++i)
        manyKeys += "[HKEY_LOCAL_MACHINE\\K" + std::to_string(i) + "]\n";
    const struct {
        QByteArray text;
        const char* where;
    } cases[] = {
        {"[HKEY_LOCAL_MACHINE\\A]\n", "f.reg:1:"},                          // no header
        {reg("\"v\"=\"before any key\"\n"), "f.reg:2:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"ok\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\A]\n"), "f.reg:4:"},
        {reg("[HKEY_CURRENT_USER\\Software]\n"), "f.reg:2:"},
        {reg("[HKEY_USERS\\x]\n"), "f.reg:2:"},
        {reg("[HKEY_LOCAL_MACHINE\\A\\\\B]\n"), "f.reg:2:"},
        {reg("[HKEY_LOCAL_MACHINE\\A\\]\n"), "f.reg:2:"},
        {reg("[HKEY_LOCAL_MACHINE\\A\n"), "f.reg:2:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"bad \\n escape\"\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"tail\" junk\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:xyz\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,02\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=-\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\x01" "b\"\n"), "f.reg:3:"},
        {reg("[HKEY_LOCAL_MACHINE\\A\x1b]\n"), "f.reg:2:"},
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"\xff\xfe\"\n"), "f.reg:"},   // not UTF-8
        {reg("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"" + longLine + "\"\n"), "f.reg:3:"},
        {reg(manyKeys), "f.reg:"},
        {QByteArray(static_cast<qsizetype>(platform::registry::kMaxRegFileBytes) + 1, ';'), "f.reg:"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseRegText(c.text, "f.reg");
        const std::string shown = c.text.left(80).toStdString();
        EXPECT_FALSE(parsed.ok) << shown;
        EXPECT_EQ(parsed.error.rfind(c.where, 0), 0u) << shown << " -> " << parsed.error;
        // Never half-read: a refused file yields no keys at all.
        EXPECT_TRUE(parsed.content.localMachine.isEmpty()) << shown;
        EXPECT_TRUE(parsed.content.classesRoot.isEmpty()) << shown;
    }
}

TEST(RegFileTest, WrittenTextReadsBackSortedAndStable) {
    RegContent content;
    content.localMachine = QJsonDocument::fromJson(R"({
        "Software\\b": {"Z": "1", "": "default", "a": 4294967295},
        "Software": {}, "": {"RootValue": "r"},
        "Software\\A": {"Q": "back\\slash \"quote\" \u4e2d"}})").object();
    content.classesRoot = QJsonDocument::fromJson(R"({"CLSID": {}, "CLSID\\{1}": {"": "x"}})").object();
    const auto written = writeRegText(content);
    ASSERT_TRUE(written.refused.empty());
    EXPECT_EQ(written.text,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE]\n\"RootValue\"=\"r\"\n\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\A]\n\"Q\"=\"back\\\\slash \\\"quote\\\" \xE4\xB8\xAD\"\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\b]\n@=\"default\"\n\"a\"=dword:ffffffff\n\"Z\"=\"1\"\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID]\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\n@=\"x\"\n\n");
    const auto back = parseRegText(QByteArray::fromStdString(written.text), "w.reg");
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.content.localMachine, content.localMachine);
    EXPECT_EQ(back.content.classesRoot, content.classesRoot);

    // What the format cannot carry is named, not dropped quietly.
    content.localMachine = QJsonDocument::fromJson(R"({"K": {"List": [1], "Line": "a\nb", "N": -1}})").object();
    EXPECT_EQ(writeRegText(content).refused.size(), 3u);
}

} // namespace
