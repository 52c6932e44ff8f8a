// Shared set-up of the COM dispatch tests: a private registry store per test and small helpers.
#pragma once

#include "platform/Registry.h"

#include <oleauto.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// Points KORVAN_REGISTRY_DIR at a fresh folder for the test's life.
class TempRegistry {
public:
    TempRegistry() {
        EXPECT_TRUE(dir_.isValid());
        setenv("KORVAN_REGISTRY_DIR", dir_.path().toUtf8().constData(), 1);
    }
    ~TempRegistry() { unsetenv("KORVAN_REGISTRY_DIR"); }
    std::string path() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
};

// The whole of one root of the store, as the file holds it (empty when there is no file).
inline QJsonObject storeContents(platform::RegistryRoot root) {
    QFile file(QString::fromStdString(platform::registryFilePath(root)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

inline std::string defaultValueOf(const std::string& path, platform::RegistryRoot root = platform::RegistryRoot::ClassesRoot) {
    const auto key = platform::RegistryKey::open(root, path);
    if (!key)
        return "<no key>";
    return key->stringValue("").value_or("<no value>");
}

// Owns a BSTR.
struct Bstr {
    BSTR value = nullptr;
    explicit Bstr(const char16_t* text) : value(SysAllocString(text)) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    std::u16string text() const { return value != nullptr ? std::u16string(value, SysStringLen(value)) : u""; }
};
