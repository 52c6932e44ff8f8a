// The class object of an in-process server: one factory per class, living as long as the module.
// Its references and LockServer are locks of the module; so are the module's live objects, and
// DllCanUnloadNow answers S_OK only when none is left.
#pragma once

#include <unknwn.h>

#include <atomic>

class ModuleLockCount {
public:
    ULONG Lock() { return static_cast<ULONG>(++count_); }
    ULONG Unlock() { return static_cast<ULONG>(--count_); }
    LONG Count() const { return count_; }
    // DllCanUnloadNow's answer.
    HRESULT CanUnloadNow() const { return count_ == 0 ? S_OK : S_FALSE; }

private:
    std::atomic<LONG> count_{0};
};

class ClassFactory final : public IClassFactory {
public:
    // The class's own creation step; it gets the outer unknown, the interface asked and a *ppv
    // already cleared.
    using Creator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

    ClassFactory(ModuleLockCount& locks, Creator create) : locks_(locks), create_(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return locks_.Lock(); }
    ULONG STDMETHODCALLTYPE Release() override { return locks_.Unlock(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        return create_(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? locks_.Lock() : locks_.Unlock();
        return S_OK;
    }

    // DllGetClassObject of a module serving one class.
    HRESULT GetClassObject(REFCLSID asked, REFCLSID served, REFIID riid, void** ppv) {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (asked != served)
            return CLASS_E_CLASSNOTAVAILABLE;
        return QueryInterface(riid, ppv);
    }

private:
    ModuleLockCount& locks_;
    Creator create_;
};
