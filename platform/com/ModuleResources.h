// Resources carried inside a module, as a Windows module carries its "REGISTRY", "TYPELIB" and
// string table entries. A module gets them with korvan_add_resources() (cmake/KorvanResources.cmake)
// and reads them with the Windows calls below; LoadTypeLib reads them from the file alone.
//
// A module handle is what LoadLibraryA returned, null for the program, or (here, not on Windows)
// any address inside the module, which is how a module names itself:
//
//     HRSRC found = FindResourceA(ThisModule(), MAKEINTRESOURCEA(102), "REGISTRY");
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifndef MAKEINTRESOURCEA
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
#endif
#ifndef RT_STRING
#define RT_STRING MAKEINTRESOURCEA(6)
#endif
#ifndef GET_MODULE_HANDLE_EX_FLAG_PIN
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u
#endif

extern "C" {

// lpName and lpType are MAKEINTRESOURCEA ids, "#<number>" texts or type names ("REGISTRY").
// Null with ERROR_RESOURCE_TYPE_NOT_FOUND / ERROR_RESOURCE_NAME_NOT_FOUND when absent.
HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
BOOL WINAPI FreeResource(HGLOBAL hResData);

// A string table entry, converted to the ANSI code page (A) or UTF-16 (W). Copies at most
// cchBufferMax - 1 characters and a terminator and returns the characters copied; 0 when
// the entry is missing. LoadStringW with cchBufferMax 0 stores a read-only pointer to the text
// instead (kept for the life of the process; not terminated, as on Windows).
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, the module holding the address; otherwise the
// module loaded under that name (null: the program). Adds a reference unless UNCHANGED_REFCOUNT.
BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);

} // extern "C"

// The module holding an address, without adding a reference: how a module names itself.
HMODULE ModuleOfAddress(const void* address);

// The module the calling code is compiled into (internal linkage: each module has its own).
static inline HMODULE ThisModule() {
    static const char anchor = 0;
    return ModuleOfAddress(&anchor);
}

namespace platform::com {

// One resource as a module file carries it.
struct FileResource {
    std::string type; // type name, or "#<number>" for numbered types
    uint32_t id = 0;
    std::vector<uint8_t> data;
};

// Every resource of an ELF module file, read from its note sections without loading it. Nullopt
// with a reason in *error when the file cannot be read or is not a well-formed ELF file; a
// malformed note ends the search with an error rather than a partial answer.
std::optional<std::vector<FileResource>> readFileResources(const std::string& path, std::string* error);

// One resource of a module file; nullopt with a reason when missing or unreadable.
std::optional<std::vector<uint8_t>> readFileResource(const std::string& path, std::string_view type,
                                                     uint32_t id, std::string* error);

// The same parse over one note area (exposed for tests of hostile input). align is 4 or 8.
bool parseResourceNotes(std::span<const uint8_t> notes, size_t align,
                        std::vector<FileResource>& out, std::string* error);

// The bytes of a resource of a loaded module (see the handle forms above); empty span when
// missing. The bytes stay valid while the module is loaded.
std::optional<std::span<const uint8_t>> moduleResource(HMODULE module, std::string_view type, uint32_t id);

// The module's absolute file path for a handle in any of the forms above; empty when unknown.
std::string modulePath(HMODULE module);

} // namespace platform::com
