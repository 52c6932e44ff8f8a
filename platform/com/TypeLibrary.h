// ITypeLib and ITypeInfo over a parsed type description (TypeDescription.h), and the ways to
// reach one: LoadTypeLib(module path) reads the module's "TYPELIB" resource 1 from the file;
// GetModuleTypeInfo reads it from a loaded module's memory.
//
// Each interface's ITypeInfo is TKIND_DISPATCH with its type flags (TYPEFLAG_FDUAL,
// TYPEFLAG_FOLEAUTOMATION, ...). Its FUNCDESCs describe the vtable form of each member:
// FUNC_PUREVIRTUAL, CC_STDCALL, return type VT_HRESULT, every parameter including the
// [out, retval] one (VT_PTR to its type, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL), and oVft, the byte
// offset of the member's slot after IUnknown's and IDispatch's seven. The members of IUnknown
// and IDispatch themselves are not listed. A coclass's ITypeInfo is TKIND_COCLASS
// (TYPEFLAG_FCANCREATE unless noncreatable) whose implemented interfaces are reached with
// GetRefTypeOfImplType/GetRefTypeInfo, the default one flagged IMPLTYPEFLAG_FDEFAULT.
#pragma once

#include <oleauto.h>

#include "platform/com/TypeDescription.h"

#include <memory>

namespace platform::com {

// A type library over the description, with one reference for the caller.
HRESULT createTypeLib(std::shared_ptr<const LibraryInfo> library, ITypeLib** typeLib);

// The description behind one of our ITypeLib/ITypeInfo objects; null for any other.
std::shared_ptr<const LibraryInfo> libraryOf(IUnknown* typeLibOrInfo);

} // namespace platform::com

extern "C" {

// The type library embedded in a loaded module (any handle form of ModuleResources.h).
HRESULT STDAPICALLTYPE LoadModuleTypeLib(HMODULE module, ITypeLib** pptlib);

// The ITypeInfo of one interface or coclass of a loaded module's type library, by its GUID:
// what a control's DispatchImpl needs. TYPE_E_ELEMENTNOTFOUND when the GUID is not described.
HRESULT STDAPICALLTYPE GetModuleTypeInfo(HMODULE module, REFGUID guid, ITypeInfo** ppTInfo);

} // extern "C"
