#include "controls/DisplayProbe.h"

#include <QDir>
#include <QLibraryInfo>
#include <QString>
#include <QStringList>

#include <dlfcn.h>

#include <cstdlib>
#include <string_view>

namespace certdialogs {

namespace {

// A shared library loaded for one probe.
class Library {
public:
    explicit Library(const char* name) : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_)
            dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    template <typename Function>
    Function symbol(const char* name) const {
        return handle_ ? reinterpret_cast<Function>(dlsym(handle_, name)) : nullptr;
    }

private:
    void* handle_;
};

// The connection the xcb platform would make, to $DISPLAY.
bool xDisplayOpens() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    const Library xcb("libxcb.so.1");
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = xcb.symbol<Connect>("xcb_connect");
    const auto hasError = xcb.symbol<HasError>("xcb_connection_has_error");
    const auto disconnect = xcb.symbol<Disconnect>("xcb_disconnect");
    if (!connect || !hasError || !disconnect)
        return false;
    void* connection = connect(nullptr, nullptr);
    const bool opened = connection && hasError(connection) == 0;
    if (connection)
        disconnect(connection);
    return opened;
}

// The connection the wayland platform would make, to $WAYLAND_DISPLAY or its default socket.
bool waylandDisplayOpens() {
    const Library client("libwayland-client.so.0");
    using Connect = void* (*)(const char*);
    using Disconnect = void (*)(void*);
    const auto connect = client.symbol<Connect>("wl_display_connect");
    const auto disconnect = client.symbol<Disconnect>("wl_display_disconnect");
    if (!connect || !disconnect)
        return false;
    void* display = connect(nullptr);
    if (!display)
        return false;
    disconnect(display);
    return true;
}

// A platform plugin whose file name starts with libq<stem>, where Qt looks for one.
bool pluginPresent(const QString& stem) {
    QStringList folders;
    if (const char* value = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders += QString::fromLocal8Bit(value).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (const char* value = std::getenv("QT_PLUGIN_PATH"))
        for (const QString& folder : QString::fromLocal8Bit(value).split(QLatin1Char(':'), Qt::SkipEmptyParts))
            folders += folder + QStringLiteral("/platforms");
    folders += QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    const QStringList pattern{QStringLiteral("libq") + stem + QStringLiteral("*.so")};
    for (const QString& folder : folders)
        if (!QDir(folder).entryList(pattern, QDir::Files).isEmpty())
            return true;
    return false;
}

bool isWayland(const QString& name) {
    return name.startsWith(QStringLiteral("wayland"));
}

// One entry of QT_QPA_PLATFORM ("name" or "name:options").
bool entryUsable(const QString& entry) {
    const QString name = entry.section(QLatin1Char(':'), 0, 0).trimmed();
    if (name.isEmpty())
        return false;
    if (name == QStringLiteral("xcb"))
        return pluginPresent(name) && xDisplayOpens();
    if (isWayland(name))
        return pluginPresent(QStringLiteral("wayland")) && waylandDisplayOpens();
    return pluginPresent(name);
}

} // namespace

PlatformChoice choosePlatform() {
    const char* explicitPlatform = std::getenv("QT_QPA_PLATFORM");
    if (explicitPlatform && *explicitPlatform) {
        for (const QString& entry : QString::fromLocal8Bit(explicitPlatform).split(QLatin1Char(';')))
            if (entryUsable(entry))
                return {true, {}};
        return {};
    }
    const char* session = std::getenv("XDG_SESSION_TYPE");
    const bool waylandSession = session && std::string_view(session) == "wayland";
    const bool wayland = pluginPresent(QStringLiteral("wayland")) && waylandDisplayOpens();
    if (waylandSession && wayland)
        return {true, "wayland"};
    if (pluginPresent(QStringLiteral("xcb")) && xDisplayOpens())
        return {true, "xcb"};
    if (wayland)
        return {true, "wayland"};
    return {};
}

} // namespace certdialogs
