#include "platform/Registry.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kProductKey = "Software\\Vaultora\\meridia_Korvan2001";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        setenv("KORVAN_REGISTRY_DIR", dir_.path().toLocal8Bit().constData(), 1);
    }
    void TearDown() override { unsetenv("KORVAN_REGISTRY_DIR"); }

    QString storeFile(RegistryRoot root = RegistryRoot::LocalMachine) const {
        return QString::fromStdString(platform::registryFilePath(root));
    }
    void writeStore(const QByteArray& text, RegistryRoot root = RegistryRoot::LocalMachine) {
        QFile file(storeFile(root));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QByteArray readStore(RegistryRoot root = RegistryRoot::LocalMachine) const {
        QFile file(storeFile(root));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
};

TEST_F(RegistryTest, StoreLocation) {
    EXPECT_EQ(platform::registryFilePath(RegistryRoot::LocalMachine),
              dir_.path().toStdString() + "/HKEY_LOCAL_MACHINE.json");
    EXPECT_EQ(platform::registryFilePath(RegistryRoot::ClassesRoot),
              dir_.path().toStdString() + "/HKEY_CLASSES_ROOT.json");
    EXPECT_EQ(platform::registryFilePath(RegistryRoot::CurrentUser),
              dir_.path().toStdString() + "/HKEY_CURRENT_USER.json");

    unsetenv("KORVAN_REGISTRY_DIR");
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = oldConfig != nullptr ? oldConfig : "";
    setenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit().constData(), 1);
    EXPECT_EQ(platform::registryFolder(), dir_.path().toStdString() + "/korvanng/registry");
    if (oldConfig != nullptr)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST_F(RegistryTest, MissingStoreIsEmptyRoot) {
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, kProductKey));
    EXPECT_FALSE(platform::registryLastError().empty());
    auto root = RegistryKey::open(RegistryRoot::LocalMachine, "");
    ASSERT_TRUE(root);
    EXPECT_FALSE(root->stringValue("LanguageId"));
    EXPECT_FALSE(QFile::exists(storeFile())); // reading creates nothing
}

TEST_F(RegistryTest, ValuesRoundTripThroughTheFile) {
    {
        auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
        ASSERT_TRUE(key);
        EXPECT_TRUE(key->setString("LanguageId", "2052"));
        EXPECT_TRUE(key->setString("Title", "\xE4\xB8\xAD\xE6\x96\x87 \"quoted\" \\ back"));
        EXPECT_TRUE(key->setString("", "default value"));
        EXPECT_TRUE(key->setDword("Count", 0xFFFFFFFFu));
        EXPECT_TRUE(key->setDword("Zero", 0));
    }
    auto key = RegistryKey::open(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->stringValue("LanguageId"), "2052");
    EXPECT_EQ(key->stringValue("Title"), "\xE4\xB8\xAD\xE6\x96\x87 \"quoted\" \\ back");
    EXPECT_EQ(key->stringValue(""), "default value");
    EXPECT_EQ(key->dwordValue("Count"), 0xFFFFFFFFu);
    EXPECT_EQ(key->dwordValue("Zero"), 0u);
    // Types are kept apart, as the registry keeps REG_SZ and REG_DWORD apart.
    EXPECT_FALSE(key->dwordValue("LanguageId"));
    EXPECT_FALSE(key->stringValue("Count"));
    EXPECT_FALSE(key->stringValue("Missing"));

    // Parents exist as keys of their own; other roots are untouched.
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::LocalMachine, "Software"));
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::LocalMachine, "Software\\Vaultora"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::CurrentUser, kProductKey));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, kProductKey));

    // The file is readable JSON, one entry per key.
    const QJsonObject stored = QJsonDocument::fromJson(readStore()).object();
    EXPECT_EQ(stored.value(kProductKey).toObject().value("LanguageId").toString(), "2052");
    EXPECT_EQ(stored.value(kProductKey).toObject().value("Count").toInteger(), 4294967295);
}

TEST_F(RegistryTest, HandWrittenValuesOfWrongShapeAreNotDwords) {
    writeStore(R"({"K": {"Half": 2.5, "Negative": -1, "Big": 4294967296, "Max": 4294967295,
                         "Flag": true, "Text": "7"}})");
    auto key = RegistryKey::open(RegistryRoot::LocalMachine, "k");
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->dwordValue("Half"));
    EXPECT_FALSE(key->dwordValue("Negative"));
    EXPECT_FALSE(key->dwordValue("Big"));
    EXPECT_FALSE(key->dwordValue("Flag"));
    EXPECT_FALSE(key->dwordValue("Text"));
    EXPECT_FALSE(key->stringValue("Flag"));
    EXPECT_EQ(key->dwordValue("Max"), 4294967295u);

    // Values this code does not understand survive a write to the same key.
    EXPECT_TRUE(key->setString("Added", "x"));
    const QJsonObject values = QJsonDocument::fromJson(readStore()).object().value("K").toObject();
    EXPECT_EQ(values.value("Flag"), QJsonValue(true));
    EXPECT_EQ(values.value("Half").toDouble(), 2.5);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    auto created = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\MixedCase");
    ASSERT_TRUE(created);
    ASSERT_TRUE(created->setString("LanguageId", "1033"));

    auto again = RegistryKey::create(RegistryRoot::CurrentUser, "SOFTWARE\\mixedcase\\Child");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->path(), "Software\\MixedCase\\Child");

    auto key = RegistryKey::open(RegistryRoot::CurrentUser, "software\\MIXEDCASE");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->path(), "Software\\MixedCase");
    EXPECT_EQ(key->stringValue("languageid"), "1033");

    // Writing under another spelling replaces the value instead of adding a twin.
    ASSERT_TRUE(key->setDword("LANGUAGEID", 2052));
    EXPECT_EQ(key->dwordValue("LanguageId"), 2052u);
    const QJsonObject values = QJsonDocument::fromJson(readStore(RegistryRoot::CurrentUser))
                                   .object()
                                   .value("Software\\MixedCase")
                                   .toObject();
    EXPECT_EQ(values.keys(), QStringList{"LanguageId"});
}

TEST_F(RegistryTest, MalformedPathsAreRefused) {
    for (const char* path : {"\\Software", "Software\\", "Software\\\\Vaultora", "\\"}) {
        EXPECT_FALSE(RegistryKey::create(RegistryRoot::LocalMachine, path)) << path;
        EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, path)) << path;
        EXPECT_FALSE(platform::deleteTree(RegistryRoot::LocalMachine, path)) << path;
        EXPECT_FALSE(platform::registryLastError().empty());
    }
    EXPECT_FALSE(QFile::exists(storeFile()));
}

TEST_F(RegistryTest, DeleteValue) {
    auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->setString("A", "1"));
    ASSERT_TRUE(key->setString("B", "2"));
    EXPECT_TRUE(key->deleteValue("a"));
    EXPECT_FALSE(key->stringValue("A"));
    EXPECT_EQ(key->stringValue("B"), "2");
    EXPECT_FALSE(key->deleteValue("A"));
    EXPECT_FALSE(platform::registryLastError().empty());
}

TEST_F(RegistryTest, DeleteTreeRemovesKeyAndEverythingBelowOnly) {
    ASSERT_TRUE(RegistryKey::create(RegistryRoot::LocalMachine, "Software\\Vaultora\\A\\B"));
    auto sibling = RegistryKey::create(RegistryRoot::LocalMachine, "Software\\VaultoraOther");
    ASSERT_TRUE(sibling);
    ASSERT_TRUE(sibling->setString("Keep", "yes"));
    auto doomed = RegistryKey::open(RegistryRoot::LocalMachine, "Software\\Vaultora\\A");
    ASSERT_TRUE(doomed);

    EXPECT_TRUE(platform::deleteTree(RegistryRoot::LocalMachine, "software\\VAULTORA"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, "Software\\Vaultora"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, "Software\\Vaultora\\A\\B"));
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::LocalMachine, "Software"));
    EXPECT_EQ(sibling->stringValue("Keep"), "yes");

    // A key object outliving its key neither reads nor quietly recreates it.
    EXPECT_FALSE(doomed->setString("Late", "write"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, "Software\\Vaultora\\A"));

    EXPECT_FALSE(platform::deleteTree(RegistryRoot::LocalMachine, "Software\\Vaultora"));
    EXPECT_FALSE(platform::deleteTree(RegistryRoot::LocalMachine, ""));
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::LocalMachine, "Software"));
}

TEST_F(RegistryTest, WritesLeaveNoTemporaryOrLockFiles) {
    auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(key->setDword("V" + std::to_string(i), i));
    ASSERT_TRUE(key->deleteValue("V0"));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{"HKEY_LOCAL_MACHINE.json"});
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 0777;
}

TEST_F(RegistryTest, StoreIsOwnerOnlyWhateverTheUmaskOrTheOldMode) {
    const QString nested = dir_.path() + "/new/registry";
    setenv("KORVAN_REGISTRY_DIR", QFile::encodeName(nested).constData(), 1);
    const mode_t old = ::umask(0);
    const bool created = RegistryKey::create(RegistryRoot::CurrentUser, kProductKey).has_value();
    ::umask(old);
    ASSERT_TRUE(created) << platform::registryLastError();
    EXPECT_EQ(modeOf(dir_.path() + "/new"), 0700u);
    EXPECT_EQ(modeOf(nested), 0700u);
    EXPECT_EQ(modeOf(storeFile(RegistryRoot::CurrentUser)), 0600u);

    // A file left readable by an older version is tightened on the next write.
    ASSERT_EQ(::chmod(QFile::encodeName(storeFile(RegistryRoot::CurrentUser)).constData(), 0644),
              0);
    auto key = RegistryKey::open(RegistryRoot::CurrentUser, kProductKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->setDword("LanguageId", 1033));
    EXPECT_EQ(modeOf(storeFile(RegistryRoot::CurrentUser)), 0600u);
}

TEST_F(RegistryTest, DamagedStoreReadsEmptyAndIsNeverOverwritten) {
    const QByteArray damaged[] = {
        "{\"Software\": {\"LanguageId\": \"20",   // cut short
        "[\"not\", \"an\", \"object\"]",          // wrong top level
        "{\"Software\": \"a value, not a key\"}", // wrong key entry
    };
    for (const QByteArray& text : damaged) {
        writeStore(text);
        EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, "Software")) << text.data();
        auto root = RegistryKey::open(RegistryRoot::LocalMachine, "");
        ASSERT_TRUE(root);
        EXPECT_FALSE(root->stringValue("LanguageId"));
        EXPECT_FALSE(root->setString("LanguageId", "1033"));
        EXPECT_NE(platform::registryLastError().find("damaged"), std::string::npos);
        EXPECT_FALSE(RegistryKey::create(RegistryRoot::LocalMachine, "Software\\New"));
        EXPECT_FALSE(platform::deleteTree(RegistryRoot::LocalMachine, "Software"));
        EXPECT_EQ(readStore(), text);
    }
    // The other roots live in their own files and keep working.
    EXPECT_TRUE(RegistryKey::create(RegistryRoot::CurrentUser, "Software"));
}

TEST_F(RegistryTest, UnreadableStoreFailsReadsAndWrites) {
    ASSERT_TRUE(QDir().mkpath(storeFile())); // a folder where the file should be
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::LocalMachine, ""));
    EXPECT_FALSE(RegistryKey::create(RegistryRoot::LocalMachine, "Software"));
    EXPECT_FALSE(platform::registryLastError().empty());
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 25;
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            bool ok = true;
            for (int i = 0; i < kValuesEach; ++i) {
                auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
                ok = ok && key &&
                     key->setDword("W" + std::to_string(w) + "_" + std::to_string(i),
                                   static_cast<uint32_t>(w * 1000 + i));
            }
            _exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto key = RegistryKey::open(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kValuesEach; ++i) {
            EXPECT_EQ(key->dwordValue("W" + std::to_string(w) + "_" + std::to_string(i)),
                      static_cast<uint32_t>(w * 1000 + i));
        }
    }
}

TEST_F(RegistryTest, LockLeftByKilledWriterDoesNotBlock) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QLockFile lock(storeFile() + ".lock");
        const char result = lock.tryLock(0) ? 'y' : 'n';
        (void)!write(ready[1], &result, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    ASSERT_EQ(result, 'y');
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(QFile::exists(storeFile() + ".lock"));

    auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->setString("LanguageId", "2052"));
}

TEST_F(RegistryTest, OldUnreadableLockFileDoesNotBlock) {
    const QString lockPath = storeFile() + ".lock";
    {
        QFile lockFile(lockPath);
        ASSERT_TRUE(lockFile.open(QIODevice::WriteOnly));
    }
    const time_t minuteAgo = time(nullptr) - 60;
    const utimbuf times{minuteAgo, minuteAgo};
    ASSERT_EQ(utime(lockPath.toLocal8Bit().constData(), &times), 0);

    auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->setString("LanguageId", "2052"));
    EXPECT_FALSE(QFile::exists(lockPath));
}

// Parsed copies are kept, so a change by another writer must still show at the next read,
// even one that keeps the file's inode and size and lands within the same clock tick.
TEST_F(RegistryTest, EveryChangeByAnotherWriterIsSeenByTheNextRead) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, kProductKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->setString("V", "v000"));
    for (int i = 1; i <= 200; ++i) {
        char value[8];
        std::snprintf(value, sizeof value, "v%03d", i % 1000);
        // Rewritten in place, the way an editor without atomic saves writes.
        writeStore(QByteArray(R"({"Software\\Vaultora\\meridia_Korvan2001": {"V": ")") + value +
                       "\"}}",
                   RegistryRoot::CurrentUser);
        // Later with its old modification time put back each time, as tar and rsync do.
        if (i > 100) {
            const utimbuf old{1600000000, 1600000000};
            ASSERT_EQ(utime(QFile::encodeName(storeFile(RegistryRoot::CurrentUser)).constData(), &old), 0);
        }
        ASSERT_EQ(key->stringValue("V"), value) << "after write " << i;
    }

    // Another process, replacing the file the way this store writes it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(key->setString("V", "from the child") ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(key->stringValue("V"), "from the child");
}

TEST_F(RegistryTest, AnUnchangedFileIsNotReadAgain) {
    auto key = RegistryKey::create(RegistryRoot::LocalMachine, kProductKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->setString("LanguageId", "2052"));
    // A file written within the last clock ticks is read each time; wait until it is not.
    std::uint64_t reads = platform::registryFileReads();
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(key->stringValue("LanguageId"), "2052");
        const std::uint64_t now = platform::registryFileReads();
        if (now == reads)
            break;
        reads = now;
        usleep(5000);
    }
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(key->stringValue("LanguageId"), "2052");
    EXPECT_EQ(platform::registryFileReads(), reads);
}

} // namespace
