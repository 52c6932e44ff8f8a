// The JSON form of one root's store file (see platform/Registry.h for its layout).
#pragma once

#include "platform/registry/StoreCache.h"

#include <QByteArray>
#include <QJsonObject>

#include <string>

namespace platform::registry {

// Damaged unless the bytes are one object whose every entry is an object.
Parsed parseJsonStore(const QByteArray& bytes, const std::string& path);
// The store file at `path` through the process's cache.
Parsed loadJsonStore(const std::string& path);
QByteArray jsonStoreText(const QJsonObject& keys);

} // namespace platform::registry
