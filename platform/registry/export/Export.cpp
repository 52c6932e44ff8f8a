// Writes the machine's part of a registry folder (HKEY_LOCAL_MACHINE.json and
// HKEY_CLASSES_ROOT.json; never a user's HKEY_CURRENT_USER.json) to stdout as registration
// text, the fragment a package ships. Packages register their modules into a staging tree, so
// --strip-prefix removes that tree's path from the front of every string value. The output
// depends only on the keys and values, never on their order in the files.
#include "platform/registry/JsonStore.h"
#include "platform/registry/RegFile.h"

#include <QFile>
#include <QJsonValue>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

using platform::registry::LoadStatus;
using platform::registry::Parsed;

int usage() {
    std::fputs("usage: korvan-reg-export REGISTRY_DIR [--strip-prefix PREFIX]\n", stderr);
    return 2;
}

std::optional<QJsonObject> readStore(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.exists())
        return QJsonObject();
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "korvan-reg-export: cannot read %s\n", path.c_str());
        return std::nullopt;
    }
    const Parsed parsed = platform::registry::parseJsonStore(file.readAll(), path);
    if (parsed.status != LoadStatus::Ok) {
        std::fprintf(stderr, "korvan-reg-export: %s\n", parsed.error.c_str());
        return std::nullopt;
    }
    return parsed.keys;
}

// "/stage/usr/lib/x" -> "/usr/lib/x" for the prefix "/stage"; only whole folder names match.
QJsonObject stripped(const QJsonObject& keys, const QString& prefix) {
    if (prefix.isEmpty())
        return keys;
    QJsonObject out;
    for (auto key = keys.begin(); key != keys.end(); ++key) {
        QJsonObject values = key.value().toObject();
        for (auto value = values.begin(); value != values.end(); ++value) {
            const QString text = value.value().toString();
            if (value.value().isString() && text.startsWith(prefix) &&
                text.size() > prefix.size() && text[prefix.size()] == QLatin1Char('/'))
                *value = QJsonValue(text.mid(prefix.size()));
        }
        out.insert(key.key(), values);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::string folder;
    QString prefix;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strip-prefix") == 0 && i + 1 < argc) {
            prefix = QString::fromLocal8Bit(argv[++i]);
            while (prefix.endsWith(QLatin1Char('/')))
                prefix.chop(1);
        } else if (argv[i][0] != '-' && folder.empty()) {
            folder = argv[i];
        } else {
            return usage();
        }
    }
    if (folder.empty())
        return usage();

    const auto machine = readStore(folder + "/HKEY_LOCAL_MACHINE.json");
    const auto classes = readStore(folder + "/HKEY_CLASSES_ROOT.json");
    if (!machine || !classes)
        return 1;
    const auto written = platform::registry::writeRegText(
        {stripped(*machine, prefix), stripped(*classes, prefix)});
    for (const std::string& refused : written.refused)
        std::fprintf(stderr, "korvan-reg-export: %s cannot be written as registration text\n",
                     refused.c_str());
    if (!written.refused.empty())
        return 1;
    if (std::fwrite(written.text.data(), 1, written.text.size(), stdout) != written.text.size() ||
        std::fflush(stdout) != 0) {
        std::fputs("korvan-reg-export: cannot write the output\n", stderr);
        return 1;
    }
    return 0;
}
