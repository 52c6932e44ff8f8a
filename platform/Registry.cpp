#include "platform/Registry.h"

#include "platform/DebugOutput.h"
#include "platform/LockFileDebris.h"
#include "platform/registry/JsonStore.h"
#include "platform/registry/Layers.h"
#include "platform/registry/Names.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>
#include <QLockFile>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>

#include <cmath>
#include <cstdlib>
#include <functional>

namespace platform {

namespace {

using registry::Layer;
using registry::LoadStatus;
using registry::joinedPath;
using registry::sameName;
using registry::startsWithName;
using registry::storedName;

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

// A root's layers as they are now. Nullopt (with the error set) when one cannot be read at
// all; `damage` names a layer that is damaged and so reads as empty.
struct View {
    std::vector<Layer> layers;
    std::string damage;
};

std::optional<View> loadView(RegistryRoot root) {
    View view{registry::layersOf(root), {}};
    for (const Layer& layer : view.layers) {
        if (layer.loaded.status == LoadStatus::Unreadable) {
            fail(layer.loaded.error);
            return std::nullopt;
        }
        if (layer.loaded.status == LoadStatus::Damaged && view.damage.empty()) {
            view.damage = layer.loaded.error;
            debugOutput("registry: " + view.damage);
        }
    }
    return view;
}

// The key's spelling in the layer's keys, if it has it; the root's own entry for "".
std::optional<QString> keyIn(const Layer& layer, const QString& path) {
    return storedName(layer.loaded.keys, joinedPath(layer.prefix, path));
}

// The root-relative path of a key the layer holds.
std::string relative(const Layer& layer, const QString& stored) {
    if (layer.prefix.isEmpty())
        return stored.toStdString();
    return stored.mid(layer.prefix.size() + 1).toStdString();
}

bool existsIn(const View& view, const QString& path) {
    for (const Layer& layer : view.layers)
        if (keyIn(layer, path))
            return true;
    return false;
}

bool notFound(const View& view, const std::string& why) {
    return fail(view.damage.empty() ? why : view.damage);
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

// Read-modify-write of one user store file under its lock file; the change sets the error
// when it refuses.
bool modify(const std::string& file, const std::function<Change(QJsonObject&)>& change) {
    const QString path = QString::fromStdString(file);
    if (!makeOwnerOnlyPath(QFileInfo(path).absolutePath()))
        return fail("cannot create the folder of " + file);

    QLockFile lock(path + QStringLiteral(".lock"));
    // A writer holds the lock for milliseconds; only a dead owner makes it stale.
    lock.setStaleLockTime(0);
    if (!detail::tryLockClearingDebris(lock, kLockWaitMs))
        return fail("cannot lock " + file);

    registry::Parsed loaded = registry::loadJsonStore(file);
    if (loaded.status != LoadStatus::Ok)
        return fail(loaded.error);
    switch (change(loaded.keys)) {
    case Change::Refused:
        return false;
    case Change::Unchanged:
        succeed();
        return true;
    case Change::Write:
        break;
    }

    QSaveFile out(path);
    // QSaveFile would copy the old file's mode; the store is owner-only whatever it was.
    const bool opened = out.open(QIODevice::WriteOnly) && out.setPermissions(kOwnerOnlyFile);
    const QByteArray text = registry::jsonStoreText(loaded.keys);
    const bool written = opened && out.write(text) == text.size() && out.commit();
    registry::StoreCache::instance().forget(file);
    if (!written)
        return fail("cannot write " + file + ": " + out.errorString().toStdString());
    succeed();
    return true;
}

// The layer that takes new keys and values; null where the root is the machine's.
const Layer* createTarget(const View& view) {
    for (const Layer& layer : view.layers)
        if (layer.createHere)
            return &layer;
    return nullptr;
}

// The value as the first layer holding it has it; undefined when the key or value is missing.
QJsonValue readValue(RegistryRoot root, const std::string& keyPath, std::string_view name) {
    const auto view = loadView(root);
    if (!view)
        return QJsonValue(QJsonValue::Undefined);
    const QString path = QString::fromStdString(keyPath);
    const QString wanted = toQString(name);
    bool keyFound = path.isEmpty();
    for (const Layer& layer : view->layers) {
        const auto key = keyIn(layer, path);
        if (!key)
            continue;
        keyFound = true;
        const QJsonObject values = layer.loaded.keys.value(*key).toObject();
        if (const auto valueName = storedName(values, wanted)) {
            succeed();
            return values.value(*valueName);
        }
    }
    notFound(*view, keyFound ? "value " + std::string(name) + " not found"
                             : "key " + keyPath + " no longer exists");
    return QJsonValue(QJsonValue::Undefined);
}

bool setValue(RegistryRoot root, const std::string& keyPath, std::string_view name,
              const QJsonValue& value) {
    const auto view = loadView(root);
    if (!view)
        return false;
    const Layer* target = createTarget(*view);
    if (target == nullptr)
        return fail(registry::machineWideRefusal());
    const QString path = QString::fromStdString(keyPath);
    // A key another layer holds is made in the target to take the value, as Windows does
    // when a user writes to a merged class key.
    bool elsewhere = false;
    for (const Layer& layer : view->layers)
        elsewhere = elsewhere || (&layer != target && keyIn(layer, path));
    return modify(target->file, [&](QJsonObject& keys) {
        const QString full = joinedPath(target->prefix, path);
        auto key = storedName(keys, full);
        if (!key) {
            if (!full.isEmpty() && !path.isEmpty() && !elsewhere) {
                fail("key " + keyPath + " no longer exists");
                return Change::Refused;
            }
            // The root key holds values without an entry of its own.
            key = full.isEmpty() ? full : registry::ensureKey(keys, full);
        }
        QJsonObject values = keys.value(*key).toObject();
        const QString valueName = storedName(values, toQString(name)).value_or(toQString(name));
        values.insert(valueName, value);
        keys.insert(*key, values);
        return Change::Write;
    });
}

// Applies `change` to every user layer holding the key. Refused when one is damaged.
enum class Removal { Done, NoneHeld, Failed };

Removal removeFromUserLayers(const View& view, const std::function<bool(const Layer&)>& holds,
                             const std::function<Change(const Layer&, QJsonObject&)>& change) {
    bool any = false;
    for (const Layer& layer : view.layers) {
        if (!layer.writable())
            continue;
        if (layer.loaded.status == LoadStatus::Damaged) {
            fail(layer.loaded.error);
            return Removal::Failed;
        }
        if (!holds(layer))
            continue;
        if (!modify(layer.file, [&](QJsonObject& keys) { return change(layer, keys); }))
            return Removal::Failed;
        any = true;
    }
    return any ? Removal::Done : Removal::NoneHeld;
}

bool machineHolds(const View& view, const std::function<bool(const Layer&)>& holds) {
    for (const Layer& layer : view.layers)
        if (!layer.writable() && holds(layer))
            return true;
    return false;
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

std::uint64_t registryFileReads() {
    return registry::StoreCache::instance().fileReads();
}

std::optional<RegistryKey> RegistryKey::open(RegistryRoot root, std::string_view path) {
    const auto wanted = checkedPath(path);
    if (!wanted) {
        fail("malformed key path \"" + std::string(path) + "\"");
        return std::nullopt;
    }
    const auto view = loadView(root);
    if (!view)
        return std::nullopt;
    if (wanted->isEmpty()) {
        if (view->damage.empty())
            succeed();
        else
            fail(view->damage);
        return RegistryKey(root, {});
    }
    for (const Layer& layer : view->layers) {
        if (const auto key = keyIn(layer, *wanted)) {
            succeed();
            return RegistryKey(root, relative(layer, *key));
        }
    }
    notFound(*view, "key " + std::string(path) + " not found");
    return std::nullopt;
}

std::optional<RegistryKey> RegistryKey::create(RegistryRoot root, std::string_view path) {
    const auto wanted = checkedPath(path);
    if (!wanted) {
        fail("malformed key path \"" + std::string(path) + "\"");
        return std::nullopt;
    }
    const auto view = loadView(root);
    if (!view)
        return std::nullopt;
    const Layer* target = createTarget(*view);
    if (target == nullptr) {
        // Opening what the machine has is fine; making anything new is not.
        if (wanted->isEmpty() || existsIn(*view, *wanted))
            return open(root, path);
        fail(registry::machineWideRefusal());
        return std::nullopt;
    }
    QString created;
    const bool ok = modify(target->file, [&](QJsonObject& keys) {
        const QString full = joinedPath(target->prefix, *wanted);
        if (full.isEmpty())
            return Change::Unchanged;
        const qsizetype before = keys.size();
        created = registry::ensureKey(keys, full);
        return keys.size() != before ? Change::Write : Change::Unchanged;
    });
    if (!ok)
        return std::nullopt;
    if (wanted->isEmpty())
        return RegistryKey(root, {});
    return RegistryKey(root, relative(*target, created));
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
    const auto view = loadView(root_);
    if (!view)
        return false;
    const QString path = QString::fromStdString(path_);
    const QString wanted = toQString(name);
    const auto holds = [&](const Layer& layer) {
        const auto key = keyIn(layer, path);
        return key && storedName(layer.loaded.keys.value(*key).toObject(), wanted).has_value();
    };
    const Removal removal = removeFromUserLayers(
        *view, holds, [&](const Layer& layer, QJsonObject& keys) {
            const auto key = storedName(keys, joinedPath(layer.prefix, path));
            QJsonObject values = key ? keys.value(*key).toObject() : QJsonObject();
            const auto valueName = storedName(values, wanted);
            if (!key || !valueName)
                return Change::Unchanged; // gone meanwhile: what was asked for is done
            values.remove(*valueName);
            keys.insert(*key, values);
            return Change::Write;
        });
    if (removal == Removal::Done)
        return true;
    if (removal == Removal::Failed)
        return false;
    if (machineHolds(*view, holds))
        return fail(registry::machineWideRefusal());
    if (!path.isEmpty() && !existsIn(*view, path))
        return notFound(*view, "key " + path_ + " no longer exists");
    return notFound(*view, "value " + std::string(name) + " not found");
}

std::vector<std::string> RegistryKey::subkeyNames() const {
    std::vector<std::string> names;
    const auto view = loadView(root_);
    if (!view)
        return names;
    const QString self = QString::fromStdString(path_);
    if (!self.isEmpty() && !existsIn(*view, self)) {
        notFound(*view, "key " + path_ + " no longer exists");
        return names;
    }
    QSet<QString> seen;
    for (const Layer& layer : view->layers) {
        const QString full = joinedPath(layer.prefix, self);
        const QString below = full.isEmpty() ? QString() : full + QLatin1Char('\\');
        for (auto it = layer.loaded.keys.begin(); it != layer.loaded.keys.end(); ++it) {
            const QString& name = it.key();
            if (name.isEmpty() || !startsWithName(name, below))
                continue;
            const QString rest = name.mid(below.size());
            if (rest.isEmpty() || rest.contains(QLatin1Char('\\')))
                continue;
            if (!seen.contains(registry::foldedName(rest))) {
                seen.insert(registry::foldedName(rest));
                names.push_back(rest.toStdString());
            }
        }
    }
    if (view->damage.empty())
        succeed();
    else
        fail(view->damage);
    return names;
}

std::vector<std::string> RegistryKey::valueNames() const {
    std::vector<std::string> names;
    const auto view = loadView(root_);
    if (!view)
        return names;
    const QString self = QString::fromStdString(path_);
    bool found = false;
    QSet<QString> seen;
    for (const Layer& layer : view->layers) {
        const auto key = keyIn(layer, self);
        if (!key)
            continue;
        found = true;
        const QJsonObject values = layer.loaded.keys.value(*key).toObject();
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (!seen.contains(registry::foldedName(it.key()))) {
                seen.insert(registry::foldedName(it.key()));
                names.push_back(it.key().toStdString());
            }
        }
    }
    if (!found) {
        if (!self.isEmpty())
            notFound(*view, "key " + path_ + " no longer exists");
        return names;
    }
    succeed();
    return names;
}

bool deleteTree(RegistryRoot root, std::string_view path) {
    const auto wanted = checkedPath(path);
    if (!wanted)
        return fail("malformed key path \"" + std::string(path) + "\"");
    if (wanted->isEmpty())
        return fail("the root key cannot be deleted");
    const auto view = loadView(root);
    if (!view)
        return false;
    const auto holds = [&](const Layer& layer) { return keyIn(layer, *wanted).has_value(); };
    const Removal removal = removeFromUserLayers(
        *view, holds, [&](const Layer& layer, QJsonObject& keys) {
            const auto key = storedName(keys, joinedPath(layer.prefix, *wanted));
            if (!key)
                return Change::Unchanged;
            const QString below = *key + QLatin1Char('\\');
            const QStringList names = keys.keys();
            for (const QString& name : names) {
                if (sameName(name, *key) || startsWithName(name, below))
                    keys.remove(name);
            }
            return Change::Write;
        });
    if (removal == Removal::Done)
        return true;
    if (removal == Removal::Failed)
        return false;
    if (machineHolds(*view, holds))
        return fail(registry::machineWideRefusal());
    return notFound(*view, "key " + std::string(path) + " not found");
}

} // namespace platform
