// oleaut32: BSTR allocation, VARIANT handling and coercion, type libraries and the standard
// dispatch helpers.
#pragma once

#include <oaidl.h>

// VariantChangeType(Ex) flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02 // BOOL -> BSTR gives "True"/"False" instead of "-1"/"0"
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_UNION(X, Y) ((X)->Y)
#define V_UI1(X) ((X)->bVal)
#define V_I2(X) ((X)->iVal)
#define V_I4(X) ((X)->lVal)
#define V_I4REF(X) ((X)->plVal)
#define V_I8(X) ((X)->llVal)
#define V_INT(X) ((X)->intVal)
#define V_UINT(X) ((X)->uintVal)
#define V_UI4(X) ((X)->ulVal)
#define V_R4(X) ((X)->fltVal)
#define V_R8(X) ((X)->dblVal)
#define V_R8REF(X) ((X)->pdblVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_BOOLREF(X) ((X)->pboolVal)
#define V_ERROR(X) ((X)->scode)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_BYREF(X) ((X)->byref)

typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER, REGKIND_NONE } REGKIND;

extern "C" {

// BSTR. Lengths are in characters except SysStringByteLen. A null BSTR has length 0.
BSTR STDAPICALLTYPE SysAllocString(const OLECHAR* psz);
BSTR STDAPICALLTYPE SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BSTR STDAPICALLTYPE SysAllocStringByteLen(LPCSTR psz, UINT len);
INT STDAPICALLTYPE SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT STDAPICALLTYPE SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void STDAPICALLTYPE SysFreeString(BSTR bstrString);
UINT STDAPICALLTYPE SysStringLen(BSTR pbstr);
UINT STDAPICALLTYPE SysStringByteLen(BSTR bstr);

// VARIANT. Supported types: VT_EMPTY, VT_NULL, VT_I4, VT_R8, VT_BOOL, VT_BSTR (also held:
// VT_ERROR, VT_UNKNOWN, VT_DISPATCH and VT_BYREF forms); others give DISP_E_BADVARTYPE.
void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg);
HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg);
HRESULT STDAPICALLTYPE VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
HRESULT STDAPICALLTYPE VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
HRESULT STDAPICALLTYPE VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                         USHORT wFlags, VARTYPE vt);
HRESULT STDAPICALLTYPE VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                           LCID lcid, USHORT wFlags, VARTYPE vt);

// Type libraries. The description is embedded in the module; szFile is the module's path.
HRESULT STDAPICALLTYPE LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
HRESULT STDAPICALLTYPE LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
HRESULT STDAPICALLTYPE RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
HRESULT STDAPICALLTYPE UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                         SYSKIND syskind);

// IDispatch driven by type information.
HRESULT STDAPICALLTYPE DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames,
                                         DISPID* rgdispid);
HRESULT STDAPICALLTYPE DispInvoke(void* _this, ITypeInfo* ptinfo, DISPID dispidMember, WORD wFlags,
                                  DISPPARAMS* pparams, VARIANT* pvarResult, EXCEPINFO* pexcepinfo,
                                  UINT* puArgErr);
HRESULT STDAPICALLTYPE CreateStdDispatch(IUnknown* punkOuter, void* pvThis, ITypeInfo* ptinfo,
                                         IUnknown** ppunkStdDisp);

} // extern "C"
