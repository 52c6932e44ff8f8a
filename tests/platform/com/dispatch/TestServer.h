// The interface of the test server, as a control's header would declare it.
#pragma once

#include <oaidl.h>

// {5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0001..3}
const GUID LIBID_KORVANTESTSERVERLib = {0x5E1D7A30, 0x6C2B, 0x4F0E, {0x9A, 0x41, 0x3B, 0x7C, 0x2D, 0x9E, 0x00, 0x01}};
const IID IID_ITestObject = {0x5E1D7A30, 0x6C2B, 0x4F0E, {0x9A, 0x41, 0x3B, 0x7C, 0x2D, 0x9E, 0x00, 0x02}};
const CLSID CLSID_TestObject = {0x5E1D7A30, 0x6C2B, 0x4F0E, {0x9A, 0x41, 0x3B, 0x7C, 0x2D, 0x9E, 0x00, 0x03}};

struct ITestObject : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Nothing(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE Join(BSTR text, LONG times, VARIANT_BOOL upper, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Fails(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Flag(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE Twice(LONG value, VARIANT* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE Touch() = 0;

protected:
    ~ITestObject() = default;
};

// What get_Fails returns: a failure of the member's own, passed through Invoke unchanged.
constexpr HRESULT kTestMemberFailure = static_cast<HRESULT>(0x80041234u);
