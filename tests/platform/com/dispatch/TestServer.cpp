// A small in-process server written the way the controls are: a class factory, a dual
// interface over DispatchImpl, IObjectSafety, and the four entry points (TestModule.cpp).
#include "TestServer.h"
#include "TestModule.h"

#include <cwctype>
#include <string>

namespace {

class TestObject final : public TestDispatchObject<ITestObject> {
public:
    TestObject() : TestDispatchObject(IID_ITestObject) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override {
        *pVal = SysAllocString(u"korvan");
        return *pVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override {
        *pVal = 42;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Nothing(BSTR*) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Join(BSTR text, LONG times, VARIANT_BOOL upper, BSTR* pVal) override {
        std::u16string joined;
        for (LONG i = 0; i < times && i < 100; ++i)
            joined.append(text != nullptr ? text : u"", SysStringLen(text));
        if (upper == VARIANT_TRUE) {
            for (char16_t& c : joined)
                c = static_cast<char16_t>(std::towupper(c));
        }
        *pVal = SysAllocStringLen(joined.data(), static_cast<UINT>(joined.size()));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Fails(LONG* pVal) override {
        *pVal = 7; // written, but the failure wins
        return kTestMemberFailure;
    }
    HRESULT STDMETHODCALLTYPE get_Flag(VARIANT_BOOL* pVal) override {
        *pVal = VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Twice(LONG value, VARIANT* pVal) override {
        VariantInit(pVal);
        pVal->vt = VT_I4;
        pVal->lVal = value * 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Touch() override {
        ++touches_;
        return touches_ == 1 ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) override {
        *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
        *enabled = safety_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) override {
        if ((mask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER)) != 0)
            return E_FAIL;
        safety_ = enabled & mask;
        return S_OK;
    }

private:
    int touches_ = 0;
    DWORD safety_ = 0;
};

} // namespace

ServedClass servedClass() {
    return {CLSID_TestObject, createTestObject<TestObject>};
}
