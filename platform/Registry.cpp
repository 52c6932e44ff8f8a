#include "platform/Registry.h"

#include "platform/DebugOutput.h"
#include "platform/LockFileDebris.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>
#include <cstdlib>
#include <functional>

namespace platform {

namespace {

constexpr int kLockWaitMs = 10000;

thread_local std::string lastError;

bool fail(const std::string& why) {
    lastError = why;
    debugOutput("registry: " + why);
    return false;
}

void succeed() {
    lastError.clear();
}

const char* rootFileStem(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    case RegistryRoot::ClassesRoot:
        return "HKEY_CLASSES_ROOT";
    case RegistryRoot::CurrentUser:
        return "HKEY_CURRENT_USER";
    }
    return "HKEY_UNKNOWN";
}

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Nullopt for a path with an empty name in it; the empty path is the root key.
std::optional<QString> checkedPath(std::string_view path) {
    const QString text = toQString(path);
    if (text.isEmpty())
        return text;
    for (const QString& part : text.split(QLatin1Char('\\'))) {
        if (part.isEmpty())
            return std::nullopt;
    }
    return text;
}

bool sameName(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// The name as stored in the object, matched without regard to case.
std::optional<QString> storedName(const QJsonObject& object, const QString& name) {
    if (object.contains(name))
        return name;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (sameName(it.key(), name))
            return it.key();
    }
    return std::nullopt;
}

enum class LoadStatus { Ok, Damaged, Unreadable };

struct Loaded {
    LoadStatus status = LoadStatus::Ok;
    QJsonObject keys;
};

Loaded load(RegistryRoot root) {
    Loaded result;
    QFile file(QString::fromStdString(registryFilePath(root)));
    if (!file.exists())
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = LoadStatus::Unreadable;
        fail("cannot read " + file.fileName().toStdString() + ": " +
             file.errorString().toStdString());
        return result;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    bool wellFormed = error.error == QJsonParseError::NoError && document.isObject();
    if (wellFormed) {
        result.keys = document.object();
        for (auto it = result.keys.begin(); wellFormed && it != result.keys.end(); ++it)
            wellFormed = it.value().isObject();
    }
    if (!wellFormed) {
        result.status = LoadStatus::Damaged;
        result.keys = QJsonObject();
        fail(file.fileName().toStdString() + " is damaged; it is left untouched");
    }
    return result;
}

constexpr QFile::Permissions kOwnerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;

// Like QDir::mkpath, but every folder made here is owner-only (0700): the store holds the
// user's settings, which no one else needs to read. Existing folders are left as they are.
bool makeOwnerOnlyPath(const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    if (QFileInfo(clean).isDir())
        return true;
    const QString parent = QFileInfo(clean).path();
    if (parent != clean && !makeOwnerOnlyPath(parent))
        return false;
    return QDir().mkdir(clean, kOwnerOnlyFile | QFile::ExeOwner) || QFileInfo(clean).isDir();
}

enum class Change { Write, Unchanged, Refused };

// Read-modify-write under the store's lock file; the change sets the error when it refuses.
bool modify(RegistryRoot root, const std::function<Change(QJsonObject&)>& change) {
    const QString path = QString::fromStdString(registryFilePath(root));
    if (!makeOwnerOnlyPath(QFileInfo(path).absolutePath()))
        return fail("cannot create the folder of " + path.toStdString());

    QLockFile lock(path + QStringLiteral(".lock"));
    // A writer holds the lock for milliseconds; only a dead owner makes it stale.
    lock.setStaleLockTime(0);
    if (!detail::tryLockClearingDebris(lock, kLockWaitMs))
        return fail("cannot lock " + path.toStdString());

    Loaded loaded = load(root);
    if (loaded.status != LoadStatus::Ok)
        return false;
    switch (change(loaded.keys)) {
    case Change::Refused:
        return false;
    case Change::Unchanged:
        succeed();
        return true;
    case Change::Write:
        break;
    }

    QSaveFile file(path);
    // QSaveFile would copy the old file's mode; the store is owner-only whatever it was.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(kOwnerOnlyFile))
        return fail("cannot write " + path.toStdString() + ": " + file.errorString().toStdString());
    const QByteArray text = QJsonDocument(loaded.keys).toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size() || !file.commit())
        return fail("cannot write " + path.toStdString() + ": " + file.errorString().toStdString());
    succeed();
    return true;
}

// The value of a key as the store holds it now; undefined when the key or value is missing.
QJsonValue readValue(RegistryRoot root, const std::string& keyPath, std::string_view name) {
    const Loaded loaded = load(root);
    if (loaded.status != LoadStatus::Ok)
        return QJsonValue(QJsonValue::Undefined);
    const auto key = storedName(loaded.keys, QString::fromStdString(keyPath));
    if (!key) {
        fail(keyPath.empty() ? "value " + std::string(name) + " not found"
                             : "key " + keyPath + " no longer exists");
        return QJsonValue(QJsonValue::Undefined);
    }
    const QJsonObject values = loaded.keys.value(*key).toObject();
    const auto valueName = storedName(values, toQString(name));
    if (!valueName) {
        fail("value " + std::string(name) + " not found");
        return QJsonValue(QJsonValue::Undefined);
    }
    succeed();
    return values.value(*valueName);
}

bool setValue(RegistryRoot root, const std::string& keyPath, std::string_view name,
              const QJsonValue& value) {
    const QString wantedKey = QString::fromStdString(keyPath);
    return modify(root, [&](QJsonObject& keys) {
        auto key = storedName(keys, wantedKey);
        if (!key) {
            if (!wantedKey.isEmpty()) {
                fail("key " + keyPath + " no longer exists");
                return Change::Refused;
            }
            key = wantedKey; // the root key holds values without an entry of its own
        }
        QJsonObject values = keys.value(*key).toObject();
        const QString valueName = storedName(values, toQString(name)).value_or(toQString(name));
        values.insert(valueName, value);
        keys.insert(*key, values);
        return Change::Write;
    });
}

} // namespace

std::string registryFolder() {
    if (const char* overridden = std::getenv("KORVAN_REGISTRY_DIR");
        overridden != nullptr && *overridden != '\0')
        return overridden;
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/korvanng/registry"))
        .toStdString();
}

std::string registryFilePath(RegistryRoot root) {
    return registryFolder() + "/" + rootFileStem(root) + ".json";
}

const std::string& registryLastError() {
    return lastError;
}

std::optional<RegistryKey> RegistryKey::open(RegistryRoot root, std::string_view path) {
    const auto wanted = checkedPath(path);
    if (!wanted) {
        fail("malformed key path \"" + std::string(path) + "\"");
        return std::nullopt;
    }
    const Loaded loaded = load(root);
    if (loaded.status == LoadStatus::Unreadable)
        return std::nullopt;
    if (wanted->isEmpty()) {
        if (loaded.status == LoadStatus::Ok)
            succeed();
        return RegistryKey(root, {});
    }
    const auto key = storedName(loaded.keys, *wanted);
    if (!key) {
        if (loaded.status == LoadStatus::Ok)
            fail("key " + std::string(path) + " not found");
        return std::nullopt;
    }
    succeed();
    return RegistryKey(root, key->toStdString());
}

std::optional<RegistryKey> RegistryKey::create(RegistryRoot root, std::string_view path) {
    const auto wanted = checkedPath(path);
    if (!wanted) {
        fail("malformed key path \"" + std::string(path) + "\"");
        return std::nullopt;
    }
    QString created;
    const bool ok = modify(root, [&](QJsonObject& keys) {
        Change result = Change::Unchanged;
        QString parent;
        if (!wanted->isEmpty()) {
            for (const QString& part : wanted->split(QLatin1Char('\\'))) {
                const QString candidate =
                    parent.isEmpty() ? part : parent + QLatin1Char('\\') + part;
                if (const auto existing = storedName(keys, candidate)) {
                    parent = *existing;
                } else {
                    keys.insert(candidate, QJsonObject());
                    parent = candidate;
                    result = Change::Write;
                }
            }
        }
        created = parent;
        return result;
    });
    if (!ok)
        return std::nullopt;
    return RegistryKey(root, created.toStdString());
}

std::optional<std::string> RegistryKey::stringValue(std::string_view name) const {
    const QJsonValue value = readValue(root_, path_, name);
    if (value.isUndefined())
        return std::nullopt;
    if (!value.isString()) {
        fail("value " + std::string(name) + " is not a string");
        return std::nullopt;
    }
    return value.toString().toStdString();
}

std::optional<uint32_t> RegistryKey::dwordValue(std::string_view name) const {
    const QJsonValue value = readValue(root_, path_, name);
    if (value.isUndefined())
        return std::nullopt;
    const double number = value.toDouble(-1.0);
    if (!value.isDouble() || number < 0 || number > 4294967295.0 || std::trunc(number) != number) {
        fail("value " + std::string(name) + " is not a DWORD");
        return std::nullopt;
    }
    return static_cast<uint32_t>(number);
}

bool RegistryKey::setString(std::string_view name, std::string_view value) {
    return setValue(root_, path_, name, QJsonValue(toQString(value)));
}

bool RegistryKey::setDword(std::string_view name, uint32_t value) {
    return setValue(root_, path_, name, QJsonValue(static_cast<qint64>(value)));
}

bool RegistryKey::deleteValue(std::string_view name) {
    return modify(root_, [&](QJsonObject& keys) {
        const auto key = storedName(keys, QString::fromStdString(path_));
        if (!key) {
            fail(path_.empty() ? "value " + std::string(name) + " not found"
                               : "key " + path_ + " no longer exists");
            return Change::Refused;
        }
        QJsonObject values = keys.value(*key).toObject();
        const auto valueName = storedName(values, toQString(name));
        if (!valueName) {
            fail("value " + std::string(name) + " not found");
            return Change::Refused;
        }
        values.remove(*valueName);
        keys.insert(*key, values);
        return Change::Write;
    });
}

std::vector<std::string> RegistryKey::subkeyNames() const {
    std::vector<std::string> names;
    const Loaded loaded = load(root_);
    if (loaded.status != LoadStatus::Ok)
        return names;
    const QString self = QString::fromStdString(path_);
    if (!self.isEmpty() && !storedName(loaded.keys, self)) {
        fail("key " + path_ + " no longer exists");
        return names;
    }
    const QString below = self.isEmpty() ? QString() : self + QLatin1Char('\\');
    for (auto it = loaded.keys.begin(); it != loaded.keys.end(); ++it) {
        const QString& name = it.key();
        if (name.isEmpty() || !name.startsWith(below, Qt::CaseInsensitive))
            continue;
        const QString rest = name.mid(below.size());
        if (!rest.isEmpty() && !rest.contains(QLatin1Char('\\')))
            names.push_back(rest.toStdString());
    }
    succeed();
    return names;
}

std::vector<std::string> RegistryKey::valueNames() const {
    std::vector<std::string> names;
    const Loaded loaded = load(root_);
    if (loaded.status != LoadStatus::Ok)
        return names;
    const auto key = storedName(loaded.keys, QString::fromStdString(path_));
    if (!key) {
        if (!path_.empty())
            fail("key " + path_ + " no longer exists");
        return names;
    }
    const QJsonObject values = loaded.keys.value(*key).toObject();
    for (auto it = values.begin(); it != values.end(); ++it)
        names.push_back(it.key().toStdString());
    succeed();
    return names;
}

bool deleteTree(RegistryRoot root, std::string_view path) {
    const auto wanted = checkedPath(path);
    if (!wanted)
        return fail("malformed key path \"" + std::string(path) + "\"");
    if (wanted->isEmpty())
        return fail("the root key cannot be deleted");
    return modify(root, [&](QJsonObject& keys) {
        const auto key = storedName(keys, *wanted);
        if (!key) {
            fail("key " + std::string(path) + " not found");
            return Change::Refused;
        }
        const QString below = *key + QLatin1Char('\\');
        const QStringList names = keys.keys();
        for (const QString& name : names) {
            if (sameName(name, *key) || name.startsWith(below, Qt::CaseInsensitive))
                keys.remove(name);
        }
        return Change::Write;
    });
}

} // namespace platform
