// ole32: apartment set-up, in-process activation through the registry, GUID text and the task
// allocator; the entry points an in-process server exports.
#pragma once

#include <unknwn.h>

typedef enum tagCOINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

extern "C" {

HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved);
HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void STDAPICALLTYPE CoUninitialize();

// pvReserved stands for COSERVERINFO*; only null (this machine) is meaningful.
HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                        REFIID riid, LPVOID* ppv);
HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                        REFIID riid, LPVOID* ppv);
void STDAPICALLTYPE CoFreeUnusedLibraries();
HRESULT STDAPICALLTYPE CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits in any case; CO_E_CLASSSTRING otherwise.
HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
// Upper-case braces form; returns the characters written including the terminator (39), or 0
// when cchMax is too small.
int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// The text in memory from CoTaskMemAlloc; the caller frees it with CoTaskMemFree.
HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT STDAPICALLTYPE StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
HRESULT STDAPICALLTYPE CoCreateGuid(GUID* pguid);

LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb);
LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void STDAPICALLTYPE CoTaskMemFree(LPVOID pv);

// Exported by an in-process server module. The visibility stands in for the module definition
// file of a Windows build: a module compiled with hidden visibility still exports these.
__attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid,
                                                                                REFIID riid,
                                                                                LPVOID* ppv);
__attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow();

} // extern "C"

typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)();
