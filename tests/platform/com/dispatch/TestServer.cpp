// A small in-process server written the way the controls are: a class factory, a dual
// interface over DispatchImpl, IObjectSafety, and the four entry points.
#include "TestServer.h"

#include <objbase.h>
#include <objsafe.h>
#include <olectl.h>
#include <oleauto.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/DispatchImpl.h"
#include "platform/com/Registrar.h"

#include <cwctype>
#include <new>
#include <string>

namespace {

ModuleLockCount moduleLocks;

class TestObject final : public DispatchImpl<ITestObject>, public IObjectSafety {
public:
    TestObject() { moduleLocks.Lock(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITestObject)
            *ppv = static_cast<ITestObject*>(this);
        else if (riid == IID_IObjectSafety)
            *ppv = static_cast<IObjectSafety*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

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
    ~TestObject() { moduleLocks.Unlock(); }

    ULONG references_ = 1;
    int touches_ = 0;
    DWORD safety_ = 0;
};

HRESULT CreateTestObject(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) TestObject();
    if (object == nullptr)
        return E_OUTOFMEMORY;
    HRESULT result = object->InitDispatch(ThisModule(), IID_ITestObject);
    if (SUCCEEDED(result))
        result = object->QueryInterface(riid, ppv);
    object->Release();
    return result;
}

ClassFactory factory(moduleLocks, CreateTestObject);

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return factory.GetClassObject(rclsid, CLSID_TestObject, riid, ppv);
}

STDAPI DllCanUnloadNow() {
    return moduleLocks.CanUnloadNow();
}

STDAPI DllRegisterServer() {
    return RegisterServerModule(ThisModule(), 102);
}

STDAPI DllUnregisterServer() {
    return UnregisterServerModule(ThisModule(), 102);
}
