// Key and value names compare without regard to case in ASCII only, as the registry compares
// them, whatever the locale: a name outside ASCII must match exactly.
#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace platform::registry {

inline char16_t foldedUnit(QChar c) {
    const char16_t u = c.unicode();
    return u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u - u'A' + u'a') : u;
}

inline bool sameName(const QString& a, const QString& b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (foldedUnit(a[i]) != foldedUnit(b[i]))
            return false;
    return true;
}

inline bool startsWithName(const QString& text, const QString& prefix) {
    return text.size() >= prefix.size() && sameName(text.left(prefix.size()), prefix);
}

inline QString foldedName(const QString& name) {
    QString out = name;
    for (QChar& c : out)
        c = QChar(foldedUnit(c));
    return out;
}

// The name as stored in the object, matched without regard to case.
inline std::optional<QString> storedName(const QJsonObject& object, const QString& name) {
    if (object.contains(name))
        return name;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (sameName(it.key(), name))
            return it.key();
    }
    return std::nullopt;
}

// "a\\b" below "prefix"; the prefix itself for the empty path.
inline QString joinedPath(const QString& prefix, const QString& path) {
    if (prefix.isEmpty())
        return path;
    return path.isEmpty() ? prefix : prefix + QLatin1Char('\\') + path;
}

// Adds the key and every parent it lacks, each as an entry of its own; keeps existing
// spellings. Returns the key's stored spelling.
QString ensureKey(QJsonObject& keys, const QString& path);

} // namespace platform::registry
