#include "platform/registry/Names.h"

namespace platform::registry {

QString ensureKey(QJsonObject& keys, const QString& path) {
    QString parent;
    if (path.isEmpty()) {
        if (!keys.contains(QString()))
            keys.insert(QString(), QJsonObject());
        return parent;
    }
    for (const QString& part : path.split(QLatin1Char('\\'))) {
        const QString candidate = parent.isEmpty() ? part : parent + QLatin1Char('\\') + part;
        if (const auto existing = storedName(keys, candidate)) {
            parent = *existing;
        } else {
            keys.insert(candidate, QJsonObject());
            parent = candidate;
        }
    }
    return parent;
}

} // namespace platform::registry
