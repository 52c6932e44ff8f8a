// A private instance of a PKCS#11 module file that other code of the process may load as well.
//
// The dynamic loader hands everyone who opens one file the same instance, so a C_Finalize by the
// controls' token queries would end a provider's login. The file is therefore copied into an
// anonymous memory file and loaded from there: the loader takes it for another library and runs
// a second, separate instance of the module. Its dependencies (libc, libcrypto, ...) stay shared
// with the process, which a separate link-map namespace (dlmopen) would not do: two copies of
// libc in one process give out the same thread-specific keys and free each other's memory at
// thread exit, which crashes every module built on OpenSSL.
//
// What the copy cannot separate is state a module keeps in a library of its own that it depends
// on; and a module that finds its own files relative to its path ($ORIGIN) does not find them.
#pragma once

#include <string>

namespace providers::token {

// Largest module file copied.
inline constexpr long long maximumModuleBytes = 256LL * 1024 * 1024;

// The path a module name stands for: a name with a slash as given, else the file the dynamic
// loader finds for it. Empty when there is none.
std::string modulePathFor(const std::string& name);

// Loads a private instance of the module file at `path` (RTLD_NOW | RTLD_LOCAL); null with
// `error` set when the file cannot be read, is too large or does not load. The instance is never
// unloaded.
void* loadPrivateInstance(const std::string& path, std::string& error);

} // namespace providers::token
