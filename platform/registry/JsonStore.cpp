#include "platform/registry/JsonStore.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace platform::registry {

Parsed parseJsonStore(const QByteArray& bytes, const std::string& path) {
    Parsed result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    bool wellFormed = error.error == QJsonParseError::NoError && document.isObject();
    if (wellFormed) {
        result.keys = document.object();
        for (auto it = result.keys.begin(); wellFormed && it != result.keys.end(); ++it)
            wellFormed = it.value().isObject();
    }
    if (!wellFormed) {
        result.status = LoadStatus::Damaged;
        result.keys = QJsonObject();
        result.error = path + " is damaged; it is left untouched";
    }
    return result;
}

Parsed loadJsonStore(const std::string& path) {
    return StoreCache::instance().load(path, 'j', parseJsonStore);
}

QByteArray jsonStoreText(const QJsonObject& keys) {
    return QJsonDocument(keys).toJson(QJsonDocument::Indented);
}

} // namespace platform::registry
