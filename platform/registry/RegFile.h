// Registration text in the registry editor's export form, the subset this system writes:
//
//     Windows Registry Editor Version 5.00
//
//     ; a comment
//     [HKEY_LOCAL_MACHINE\Software\Vaultora]
//     "LanguageId"="2052"
//     "Count"=dword:00000003
//     @="the key's default value"
//
//     [HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32]
//     @="/usr/lib/x86_64-linux-gnu/korvanng/libQXMeridiaControl.so"
//
// Strings escape only backslash and quote (\\ and \"). Only HKEY_LOCAL_MACHINE and
// HKEY_CLASSES_ROOT sections exist: these files describe a machine, never a user. Deleting
// keys or values ([-KEY], "name"=-) and the hex value types are refused. The files come from
// packages and administrators, so the reader is strict and bounded; one fault refuses the
// whole file, with the file and line in the message.
#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <cstddef>
#include <string>
#include <vector>

namespace platform::registry {

inline constexpr const char* kRegHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::size_t kMaxRegFileBytes = 1u << 20;
inline constexpr std::size_t kMaxRegLineBytes = 16384;
inline constexpr std::size_t kMaxRegKeys = 10000;
inline constexpr std::size_t kMaxRegValues = 50000;

// Keys of the two roots, in the layout of a JSON store (path -> values; every parent listed).
struct RegContent {
    QJsonObject localMachine;
    QJsonObject classesRoot;
};

struct RegParse {
    bool ok = false;
    RegContent content;
    std::string error; // "FILE:LINE: why"
};

// A text with nothing but blank and comment lines is an empty, valid file.
RegParse parseRegText(const QByteArray& text, const std::string& fileName);

struct RegWrite {
    std::string text;
    std::vector<std::string> refused; // values the format cannot carry, as ROOT\key "name"
};

// Sorted the same way whatever order the keys came in: parents before children, names
// compared without regard to ASCII case, the default value first in its key.
RegWrite writeRegText(const RegContent& content);

} // namespace platform::registry
