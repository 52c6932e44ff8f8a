// LoadLibraryA and its siblings over the platform module loader.
#include <windows.h>

#include "platform/DebugOutput.h"
#include "platform/ModuleLoader.h"
#include "platform/ProgramPath.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <string>

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    HMODULE module = platform::loadModule(lpLibFileName);
    SetLastError(module != nullptr ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND);
    return module;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    void* symbol = platform::moduleSymbol(hModule, lpProcName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!platform::freeModule(hLibModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    if (hModule == nullptr) {
        path = platform::programPath();
    } else {
        link_map* map = nullptr;
        if (dlinfo(hModule, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr)
            path = map->l_name;
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on Windows: a short buffer gets the cut, terminated text and the error.
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    platform::debugOutput(lpOutputString);
}
