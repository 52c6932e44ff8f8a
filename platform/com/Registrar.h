// The registrar: applies and reverses a registration script of the form server modules carry
// as their "REGISTRY" resource, on the registry store (platform/Registry.h).
//
//     HKCR
//     {
//         Sample.Thing.1 = s 'Thing Class'
//         {
//             CLSID = s '{6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003}'
//         }
//         NoRemove CLSID
//         {
//             ForceRemove {6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003} = s 'Thing Class'
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Apartment'
//                 }
//                 val Count = d '3'
//             }
//         }
//     }
//
// Words are separated by blanks; 'quoted' texts may hold blanks ('' is a quote) and %NAME%
// variables (%% is a percent sign). Roots: HKCR, HKLM, HKCU and their long forms. A key may be
// marked NoRemove (kept when unregistering, its contents still removed), ForceRemove (deleted
// whole before registering and when unregistering) or Delete (deleted when registering). A key
// may take a default value (= s 'text') and a body in braces; `val Name = s 'text'` and
// `val Name = d 'number'` set named values.
//
// Unregistering removes the values the script sets and every key it names, innermost first. A
// plain key is removed only when nothing else is left in it, so keys and values written by
// others survive.
#pragma once

#include <objbase.h>

#include <map>
#include <string>
#include <string_view>

namespace platform::com {

using RegistrarVariables = std::map<std::string, std::string>;

// S_OK, or an error with its reason in *error: E_INVALIDARG for a malformed script (nothing
// is changed then), E_FAIL when the store refuses a change.
HRESULT runRegistrationScript(std::string_view script, const RegistrarVariables& variables, bool doRegister,
                              std::string* error);

} // namespace platform::com

extern "C" {

// Runs the module's "REGISTRY" resource nID with %MODULE% = the module's full path.
HRESULT STDAPICALLTYPE UpdateRegistryFromResource(HMODULE module, UINT nID, BOOL bRegister);

// What a server's DllRegisterServer does: UpdateRegistryFromResource(module, scriptId, TRUE)
// and RegisterTypeLib of its "TYPELIB" resource 1, with the module's path.
// SELFREG_E_CLASS when the script fails, SELFREG_E_TYPELIB when the type library does.
HRESULT STDAPICALLTYPE RegisterServerModule(HMODULE module, UINT scriptId);
// The reverse, for DllUnregisterServer; an already absent registration is not an error.
HRESULT STDAPICALLTYPE UnregisterServerModule(HMODULE module, UINT scriptId);

} // extern "C"
