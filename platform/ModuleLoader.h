// Loading of vendor modules by the names the product record gives them.
//
// Product data names modules the way the original Windows build did ("meridiaCsp11_2001.dll");
// on Linux the same module is "libmeridiaCsp11_2001.so". The program's own folder is searched
// first so an installed set of modules is found without LD_LIBRARY_PATH, then the system loader
// gets the bare file name.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

using ModuleHandle = void*;

// A name that already is a Linux path (contains '/') or ends in ".so"/".so.N" is used as given.
// Otherwise a trailing ".dll" (any case) is dropped, "lib" is prefixed and ".so" appended.
// Returns null on failure, with the loader's reason on the debug channel; never throws.
ModuleHandle loadModule(const char* fileName);

// Null when the module is null, the name is null or the symbol is missing.
void* moduleSymbol(ModuleHandle module, const char* name);

// False for a null handle or when the system loader refuses to unload.
bool freeModule(ModuleHandle module);

// The pure name mapping used by loadModule.
std::string moduleFileNameFor(std::string_view windowsName);

// Owns a loaded module: ModulePtr module(loadModule(name));
struct ModuleCloser {
    void operator()(void* module) const { freeModule(module); }
};
using ModulePtr = std::unique_ptr<void, ModuleCloser>;

} // namespace platform
