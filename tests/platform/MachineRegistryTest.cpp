#include "platform/Registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n";

void writeFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(text);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::string text(RegistryRoot root, const char* path, const char* name) {
    const auto key = RegistryKey::open(root, path);
    return key ? key->stringValue(name).value_or("<none>") : "<no key>";
}

// A packaged machine: fragments and the administrator's file in a temporary folder, the
// user's own store under XDG_CONFIG_HOME, and no KORVAN_REGISTRY_DIR.
class MachineRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        unsetenv("KORVAN_REGISTRY_DIR");
        keep("XDG_CONFIG_HOME", dir_.filePath("config"));
        keep("KORVAN_MACHINE_REGISTRY_DIR", fragments());
        keep("KORVAN_MACHINE_REGISTRY_FILE", dir_.filePath("etc/registry"));
        QDir().mkpath(fragments());
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    void keep(const std::string& name, const QString& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), QFile::encodeName(value).constData(), 1);
    }

    QString fragments() const { return dir_.filePath("registry.d"); }
    QString userFile(const char* stem) const {
        return dir_.filePath(QStringLiteral("config/korvanng/registry/%1.json").arg(stem));
    }

    QTemporaryDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(MachineRegistryTest, FragmentsInNameOrderThenTheAdministratorsFileAndBrokenOnesSkipped) {
    writeFile(fragments() + "/20-b.reg",
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\P]\n\"V\"=\"b\"\n");
    writeFile(fragments() + "/10-a.reg",
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\P]\n\"V\"=\"a\"\n\"W\"=\"a\"\n");
    // Broken after a good line: nothing of it counts, not even the line before the fault.
    writeFile(fragments() + "/15-bad.reg",
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\P]\n\"V\"=\"bad\"\n"
                                    "\"X\"=\"bad\"\n\"Y\"=hex:00\n");
    writeFile(fragments() + "/30-c.reg.dpkg-new",
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\P]\n\"V\"=\"unpacked\"\n");
    writeFile(dir_.filePath("etc/registry"),
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\software\\p]\n\"w\"=\"etc\"\n");

    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "V"), "b");
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "W"), "etc");
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "X"), "<none>");
    const auto key = RegistryKey::open(RegistryRoot::LocalMachine, "Software\\P");
    ASSERT_TRUE(key);
    std::vector<std::string> names = key->valueNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"V", "W"}));

    // Repairing the fragment is seen by the next read.
    writeFile(fragments() + "/15-bad.reg",
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\P]\n\"X\"=\"fixed\"\n");
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "X"), "fixed");
    ASSERT_TRUE(QFile::remove(fragments() + "/20-b.reg"));
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "V"), "a");
}

TEST_F(MachineRegistryTest, TheMachinesKeysRefuseEveryWriteAndChangeNothing) {
    writeFile(dir_.filePath("etc/registry"),
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\Vaultora\\meridia_Korvan2001]\n"
                                    "\"LanguageId\"=\"2052\"\n");
    const QByteArray before = readFile(dir_.filePath("etc/registry"));
    auto key = RegistryKey::create(RegistryRoot::LocalMachine, "Software\\Vaultora\\meridia_Korvan2001");
    ASSERT_TRUE(key) << platform::registryLastError();
    EXPECT_FALSE(key->setString("LanguageId", "1033"));
    EXPECT_NE(platform::registryLastError().find("machine-wide"), std::string::npos);
    EXPECT_FALSE(key->setDword("New", 1));
    EXPECT_FALSE(key->deleteValue("LanguageId"));
    EXPECT_NE(platform::registryLastError().find("machine-wide"), std::string::npos);
    EXPECT_FALSE(RegistryKey::create(RegistryRoot::LocalMachine, "Software\\Other"));
    EXPECT_NE(platform::registryLastError().find("machine-wide"), std::string::npos);
    EXPECT_FALSE(platform::deleteTree(RegistryRoot::LocalMachine, "Software\\Vaultora"));
    EXPECT_NE(platform::registryLastError().find("machine-wide"), std::string::npos);

    EXPECT_EQ(key->stringValue("LanguageId"), "2052");
    EXPECT_EQ(readFile(dir_.filePath("etc/registry")), before);
    EXPECT_FALSE(QFile::exists(userFile("HKEY_LOCAL_MACHINE")));
    // The user's own root stays writable.
    auto user = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Mine");
    ASSERT_TRUE(user);
    EXPECT_TRUE(user->setString("A", "1"));
}

TEST_F(MachineRegistryTest, UserClassesComeBeforeTheMachinesAndWritesGoToTheUser) {
    writeFile(fragments() + "/50-pkg.reg",
              QByteArray(kHeader) +
                  "[HKEY_CLASSES_ROOT\\CLSID\\{Both}]\n@=\"machine\"\n\"ThreadingModel\"=\"Apartment\"\n"
                  "[HKEY_CLASSES_ROOT\\CLSID\\{Machine}]\n@=\"m\"\n");
    writeFile(userFile("HKEY_CURRENT_USER"),
              R"({"Software": {}, "Software\\Classes": {}, "Software\\Classes\\clsid": {},
                  "Software\\Classes\\clsid\\{BOTH}": {"": "user"}})");
    // What a source-tree registration left in the user's folder counts as the user's classes.
    writeFile(userFile("HKEY_CLASSES_ROOT"),
              R"({"CLSID": {}, "CLSID\\{Legacy}": {"": "legacy"}, "CLSID\\{Machine}": {}})");

    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{Both}", ""), "user");
    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{Both}", "ThreadingModel"), "Apartment");
    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{Legacy}", ""), "legacy");
    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{Machine}", ""), "m");
    const auto clsid = RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID");
    ASSERT_TRUE(clsid);
    std::vector<std::string> names = clsid->subkeyNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"{BOTH}", "{Legacy}", "{Machine}"}));
    const auto both = RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID\\{Both}");
    ASSERT_TRUE(both);
    EXPECT_EQ(both->valueNames().size(), 2u);

    // A new class and a value over a machine class land in the user's classes.
    auto added = RegistryKey::create(RegistryRoot::ClassesRoot, "CLSID\\{New}\\InprocServer32");
    ASSERT_TRUE(added) << platform::registryLastError();
    EXPECT_TRUE(added->setString("", "/home/u/lib.so"));
    auto machineClass = RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID\\{Machine}");
    ASSERT_TRUE(machineClass);
    EXPECT_TRUE(machineClass->setString("", "mine"));
    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{Machine}", ""), "mine");
    const QJsonObject user = QJsonDocument::fromJson(readFile(userFile("HKEY_CURRENT_USER"))).object();
    EXPECT_EQ(user.value("Software\\Classes\\clsid\\{New}\\InprocServer32").toObject().value(""),
              "/home/u/lib.so");
    EXPECT_EQ(user.value("Software\\Classes\\clsid\\{Machine}").toObject().value(""), "mine");
    EXPECT_EQ(text(RegistryRoot::CurrentUser, "Software\\Classes\\CLSID\\{Machine}", ""), "mine");

    // Deleting takes the user's copies away, every one of them; the machine's class then shows.
    EXPECT_TRUE(platform::deleteTree(RegistryRoot::ClassesRoot, "CLSID\\{Machine}"));
    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{Machine}", ""), "m");
    EXPECT_FALSE(QJsonDocument::fromJson(readFile(userFile("HKEY_CLASSES_ROOT")))
                     .object()
                     .contains("CLSID\\{Machine}"));
    EXPECT_FALSE(platform::deleteTree(RegistryRoot::ClassesRoot, "CLSID\\{Machine}"));
    EXPECT_NE(platform::registryLastError().find("machine-wide"), std::string::npos);
    EXPECT_TRUE(platform::deleteTree(RegistryRoot::ClassesRoot, "CLSID\\{Legacy}"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID\\{Legacy}"));
}

TEST_F(MachineRegistryTest, ARegistryFolderKeepsTheSourceTreeSetUpAsItWas) {
    writeFile(dir_.filePath("etc/registry"),
              QByteArray(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\P]\n\"V\"=\"machine\"\n"
                                    "[HKEY_CLASSES_ROOT\\CLSID\\{M}]\n@=\"machine\"\n");
    const QString folder = dir_.filePath("tree-registry");
    setenv("KORVAN_REGISTRY_DIR", QFile::encodeName(folder).constData(), 1);
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, "Software\\P"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID\\{M}"));
    auto key = RegistryKey::create(RegistryRoot::LocalMachine, "Software\\P");
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->setString("V", "tree"));
    auto cls = RegistryKey::create(RegistryRoot::ClassesRoot, "CLSID\\{T}");
    ASSERT_TRUE(cls);
    EXPECT_TRUE(cls->setString("", "t"));
    EXPECT_TRUE(QJsonDocument::fromJson(readFile(folder + "/HKEY_LOCAL_MACHINE.json"))
                    .object()
                    .contains("Software\\P"));
    EXPECT_TRUE(QJsonDocument::fromJson(readFile(folder + "/HKEY_CLASSES_ROOT.json"))
                    .object()
                    .contains("CLSID\\{T}"));
    unsetenv("KORVAN_REGISTRY_DIR");
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "V"), "machine");
}

// What a package does at build time: register into a staging tree's folder, export it, ship
// the text as a fragment. Every user then reads the registration with the staging path gone.
TEST_F(MachineRegistryTest, ExportedFragmentRoundTripsWithTheStagingPrefixStripped) {
    const QString stage = dir_.filePath("stage");
    const auto makeStore = [&](const QString& folder, bool reversed) {
        const QString prefix = stage + "/usr/lib/korvanng/";
        QJsonObject machine{{"Software", QJsonObject()},
                            {"Software\\P", QJsonObject{{"Image Path", prefix + "p.so"},
                                                        {"Look-alike", stage + "x/p.so"},
                                                        {"Type", 1}}}};
        QJsonObject classes{{"CLSID", QJsonObject()},
                            {"CLSID\\{1}", QJsonObject()},
                            {"CLSID\\{1}\\InprocServer32", QJsonObject{{"", prefix + "c.so"}}}};
        // The same keys written in another order must give the same text.
        QByteArray m = QJsonDocument(machine).toJson(), c = QJsonDocument(classes).toJson();
        if (reversed) {
            m = R"({"Software\\P": {"Type": 1, "Look-alike": ")" + (stage + "x/p.so").toUtf8() +
                R"(", "Image Path": ")" + (prefix + "p.so").toUtf8() + R"("}, "Software": {}})";
        }
        writeFile(folder + "/HKEY_LOCAL_MACHINE.json", m);
        writeFile(folder + "/HKEY_CLASSES_ROOT.json", c);
        writeFile(folder + "/HKEY_CURRENT_USER.json", R"({"Software\\Secret": {"PIN": "no"}})");
    };
    makeStore(dir_.filePath("built1"), false);
    makeStore(dir_.filePath("built2"), true);
    const auto run = [&](const QString& folder) {
        QProcess exporter;
        exporter.start(KORVAN_REG_EXPORT, {folder, "--strip-prefix", stage + "/"});
        EXPECT_TRUE(exporter.waitForFinished(30000));
        EXPECT_EQ(exporter.exitCode(), 0) << exporter.readAllStandardError().toStdString();
        return exporter.readAllStandardOutput();
    };
    const QByteArray fragment = run(dir_.filePath("built1"));
    EXPECT_EQ(run(dir_.filePath("built2")), fragment);
    EXPECT_FALSE(fragment.contains("Secret"));
    EXPECT_FALSE(fragment.contains("HKEY_CURRENT_USER"));

    writeFile(fragments() + "/50-pkg.reg", fragment);
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "Image Path"),
              "/usr/lib/korvanng/p.so");
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\P", "Look-alike"),
              (stage + "x/p.so").toStdString());
    const auto key = RegistryKey::open(RegistryRoot::LocalMachine, "Software\\P");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->dwordValue("Type"), 1u);
    EXPECT_EQ(text(RegistryRoot::ClassesRoot, "CLSID\\{1}\\InprocServer32", ""),
              "/usr/lib/korvanng/c.so");
    EXPECT_EQ(text(RegistryRoot::LocalMachine, "Software\\Classes\\CLSID\\{1}\\InprocServer32", ""),
              "/usr/lib/korvanng/c.so");

    // A damaged store is an error, not an empty fragment.
    writeFile(dir_.filePath("built1") + "/HKEY_CLASSES_ROOT.json", "{\"cut");
    QProcess exporter;
    exporter.start(KORVAN_REG_EXPORT, {dir_.filePath("built1")});
    ASSERT_TRUE(exporter.waitForFinished(30000));
    EXPECT_NE(exporter.exitCode(), 0);
    EXPECT_TRUE(exporter.readAllStandardOutput().isEmpty());
}

} // namespace
