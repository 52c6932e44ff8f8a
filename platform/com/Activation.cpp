// In-process activation through the registry store: ProgID to CLSID, CLSID to the server module
// named by InprocServer32, and the table of loaded servers that CoFreeUnusedLibraries and the
// last CoUninitialize release when their DllCanUnloadNow says S_OK.
#include <objbase.h>
#include <oleauto.h>

#include "platform/DebugOutput.h"
#include "platform/ModuleLoader.h"
#include "platform/Registry.h"
#include "platform/com/GuidText.h"
#include "platform/com/Utf16.h"

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <mutex>

#ifndef RPC_E_CHANGED_MODE
#define RPC_E_CHANGED_MODE HRESULT_CODE_VALUE(0x80010106u)
#endif

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

// Per thread: how often CoInitialize(Ex) succeeded, and in which model.
thread_local int initCount = 0;
thread_local bool initMultithreaded = false;
// Threads in the multithreaded apartment let every thread of the process use COM, as on Windows.
std::atomic<int> multithreadedThreads{0};

bool comUsable() {
    return initCount > 0 || multithreadedThreads.load() > 0;
}

struct LoadedServer {
    platform::ModuleHandle module = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

std::mutex serversLock;
std::map<std::string, LoadedServer>& servers() {
    static std::map<std::string, LoadedServer> table;
    return table;
}

std::optional<std::string> defaultValue(const std::string& path) {
    const auto key = RegistryKey::open(RegistryRoot::ClassesRoot, path);
    if (!key)
        return std::nullopt;
    return key->stringValue("");
}

HRESULT serverFor(const std::string& path, LPFNGETCLASSOBJECT* getClassObject) {
    std::lock_guard guard(serversLock);
    auto& table = servers();
    if (auto found = table.find(path); found != table.end()) {
        *getClassObject = found->second.getClassObject;
        return S_OK;
    }
    struct stat info {};
    if (path.find('/') != std::string::npos && stat(path.c_str(), &info) != 0) {
        platform::debugOutput("CoGetClassObject: " + path + " does not exist");
        return CO_E_DLLNOTFOUND;
    }
    platform::ModulePtr module(platform::loadModule(path.c_str()));
    if (!module)
        return path.find('/') != std::string::npos ? CO_E_ERRORINDLL : CO_E_DLLNOTFOUND;
    LoadedServer server;
    server.getClassObject =
        reinterpret_cast<LPFNGETCLASSOBJECT>(platform::moduleSymbol(module.get(), "DllGetClassObject"));
    server.canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(platform::moduleSymbol(module.get(), "DllCanUnloadNow"));
    if (server.getClassObject == nullptr) {
        platform::debugOutput("CoGetClassObject: " + path + " exports no DllGetClassObject");
        return CO_E_ERRORINDLL;
    }
    server.module = module.release();
    table.emplace(path, server);
    *getClassObject = server.getClassObject;
    return S_OK;
}

// Unloads every server whose DllCanUnloadNow answers S_OK; servers without it stay loaded.
void freeUnused() {
    std::vector<platform::ModuleHandle> unload;
    {
        std::lock_guard guard(serversLock);
        auto& table = servers();
        for (auto it = table.begin(); it != table.end();) {
            if (it->second.canUnloadNow != nullptr && it->second.canUnloadNow() == S_OK) {
                unload.push_back(it->second.module);
                it = table.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Outside the lock: a module's destructors may call back into COM.
    for (platform::ModuleHandle module : unload)
        platform::freeModule(module);
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID, DWORD dwCoInit) {
    const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
    if (initCount > 0) {
        if (multithreaded != initMultithreaded)
            return RPC_E_CHANGED_MODE;
        ++initCount;
        return S_FALSE;
    }
    initCount = 1;
    initMultithreaded = multithreaded;
    if (multithreaded)
        ++multithreadedThreads;
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

extern "C" void STDAPICALLTYPE CoUninitialize() {
    if (initCount == 0)
        return;
    if (--initCount > 0)
        return;
    if (initMultithreaded)
        --multithreadedThreads;
    freeUnused();
}

extern "C" void STDAPICALLTYPE CoFreeUnusedLibraries() {
    freeUnused();
}

extern "C" HRESULT STDAPICALLTYPE CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (lpszProgID == nullptr || lpclsid == nullptr)
        return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    std::string progId = platform::utf8FromUtf16(lpszProgID);
    // A version-independent ProgID may name its class only through CurVer; follow a few steps.
    for (int step = 0; step < 4 && !progId.empty() && progId.find('\\') == std::string::npos; ++step) {
        if (const auto text = defaultValue(progId + "\\CLSID")) {
            const auto clsid = platform::guidFromText(*text);
            if (!clsid)
                return CO_E_CLASSSTRING;
            *lpclsid = *clsid;
            return S_OK;
        }
        const auto current = defaultValue(progId + "\\CurVer");
        if (!current || *current == progId)
            break;
        progId = *current;
    }
    return CO_E_CLASSSTRING;
}

extern "C" HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid,
                                                   LPVOID* ppv) {
    if (ppv == nullptr)
        return E_INVALIDARG;
    *ppv = nullptr;
    if (!comUsable())
        return CO_E_NOTINITIALIZED;
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG; // only in-process servers exist here
    const auto path = defaultValue("CLSID\\" + platform::guidToText(rclsid) + "\\InprocServer32");
    if (!path || path->empty())
        return REGDB_E_CLASSNOTREG;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    const HRESULT loaded = serverFor(*path, &getClassObject);
    if (FAILED(loaded))
        return loaded;
    return getClassObject(rclsid, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                                   REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    const HRESULT found =
        CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(found))
        return found;
    const HRESULT created = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return created;
}
