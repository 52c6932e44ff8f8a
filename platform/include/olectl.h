// OLE controls: the self-registration entry points of a server module (SELFREG_E_* are in
// winerror.h) and the interfaces a control implements.
#pragma once

#include <objbase.h>
#include <ocidl.h>

extern "C" {
__attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllRegisterServer();
__attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllUnregisterServer();
}
