// What the tests' in-process servers share, written the way the controls are: an object over
// DispatchImpl with IObjectSafety, counted among the module's locks, and the four entry points
// over one class factory (TestModule.cpp, built into each module, which defines servedClass()).
#pragma once

#include <objbase.h>
#include <objsafe.h>
#include <olectl.h>
#include <oleauto.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/DispatchImpl.h"

#include <new>

// The module's own: every live object and factory reference holds one.
ModuleLockCount& moduleLocks();

struct ServedClass {
    const CLSID& clsid;
    ClassFactory::Creator create;
};

// Defined by each module: the one class it serves.
ServedClass servedClass();

template <class Interface>
class TestDispatchObject : public DispatchImpl<Interface>, public IObjectSafety {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_)
            *ppv = static_cast<Interface*>(this);
        else if (riid == IID_IObjectSafety && offersSafety())
            *ppv = static_cast<IObjectSafety*>(this);
        else
            return E_NOINTERFACE;
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

    const IID& interfaceId() const { return iid_; }

protected:
    explicit TestDispatchObject(REFIID iid) : iid_(iid) { moduleLocks().Lock(); }
    virtual ~TestDispatchObject() { moduleLocks().Unlock(); }
    virtual bool offersSafety() const { return true; }

private:
    const IID iid_;
    ULONG references_ = 1;
};

// The class factory's creation step for Object, with the type information of its interface.
template <class Object>
HRESULT createTestObject(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) Object();
    if (object == nullptr)
        return E_OUTOFMEMORY;
    HRESULT result = object->InitDispatch(ThisModule(), object->interfaceId());
    if (SUCCEEDED(result))
        result = object->QueryInterface(riid, ppv);
    object->Release();
    return result;
}
