#include "platform/ModuleLoader.h"

#include "platform/AsciiCase.h"
#include "platform/DebugOutput.h"
#include "platform/ProgramPath.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>

namespace platform {

namespace {

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size())
        return false;
    return sameAsciiNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// ".so" or ".so.N[.N...]" at the end of the name.
bool hasSharedObjectSuffix(std::string_view name) {
    const auto pos = name.rfind(".so");
    if (pos == std::string_view::npos || pos == 0)
        return false;
    std::string_view rest = name.substr(pos + 3);
    if (rest.empty())
        return true;
    if (rest.front() != '.')
        return false;
    rest.remove_prefix(1);
    if (rest.empty())
        return false;
    return std::all_of(
               rest.begin(), rest.end(),
               [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); }) &&
           rest.back() != '.';
}

ModuleHandle openLibrary(const std::string& path) {
    ModuleHandle module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        debugOutputf("cannot load %s: %s", path.c_str(), reason != nullptr ? reason : "unknown");
    }
    return module;
}

} // namespace

std::string moduleFileNameFor(std::string_view windowsName) {
    if (windowsName.empty())
        return {};
    if (windowsName.find('/') != std::string_view::npos || hasSharedObjectSuffix(windowsName))
        return std::string(windowsName);
    std::string_view stem = windowsName;
    if (endsWithNoCase(stem, ".dll"))
        stem.remove_suffix(4);
    if (stem.empty())
        return {};
    return "lib" + std::string(stem) + ".so";
}

ModuleHandle loadModule(const char* fileName) {
    try {
        if (fileName == nullptr)
            return nullptr;
        const std::string mapped = moduleFileNameFor(fileName);
        if (mapped.empty())
            return nullptr;
        if (mapped.find('/') != std::string::npos)
            return openLibrary(mapped);
        const std::string dir = programDir();
        if (!dir.empty()) {
            if (ModuleHandle beside = openLibrary(dir + "/" + mapped))
                return beside;
        }
        return openLibrary(mapped);
    } catch (...) {
        return nullptr;
    }
}

void* moduleSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr)
        return nullptr;
    return dlsym(module, name);
}

bool freeModule(ModuleHandle module) {
    if (module == nullptr)
        return false;
    return dlclose(module) == 0;
}

} // namespace platform
