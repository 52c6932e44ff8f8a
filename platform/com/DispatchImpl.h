// IDispatch for a control class, driven by the type information of its dual interface:
//
//     class CSample : public DispatchImpl<ISample> { ... };
//     // once, before the object is handed out (e.g. in the class factory):
//     HRESULT hr = object->InitDispatch(ThisModule(), IID_ISample);
//
// GetIDsOfNames and Invoke go through DispGetIDsOfNames and DispInvoke, so names are matched
// without regard to case and Invoke calls the interface's own vtable slots.
#pragma once

#include <oleauto.h>

#include "platform/com/ModuleResources.h"
#include "platform/com/TypeLibrary.h"

template <class Interface>
class DispatchImpl : public Interface {
public:
    // The ITypeInfo of iid from the module's own "TYPELIB" resource.
    HRESULT InitDispatch(HMODULE module, REFIID iid) {
        ITypeInfo* typeInfo = nullptr;
        const HRESULT result = GetModuleTypeInfo(module, iid, &typeInfo);
        if (SUCCEEDED(result))
            SetDispatchTypeInfo(typeInfo);
        if (typeInfo != nullptr)
            typeInfo->Release();
        return result;
    }
    void SetDispatchTypeInfo(ITypeInfo* typeInfo) {
        if (typeInfo != nullptr)
            typeInfo->AddRef();
        if (typeInfo_ != nullptr)
            typeInfo_->Release();
        typeInfo_ = typeInfo;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr)
            return E_POINTER;
        *pctinfo = typeInfo_ != nullptr ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr)
            return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0 || typeInfo_ == nullptr)
            return DISP_E_BADINDEX;
        typeInfo_->AddRef();
        *ppTInfo = typeInfo_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                            DISPID* rgDispId) override {
        if (riid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        if (typeInfo_ == nullptr)
            return E_UNEXPECTED;
        return DispGetIDsOfNames(typeInfo_, rgszNames, cNames, rgDispId);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        if (riid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        if (typeInfo_ == nullptr)
            return E_UNEXPECTED;
        return DispInvoke(static_cast<Interface*>(this), typeInfo_, dispIdMember, wFlags, pDispParams, pVarResult,
                          pExcepInfo, puArgErr);
    }

protected:
    DispatchImpl() = default;
    ~DispatchImpl() {
        if (typeInfo_ != nullptr)
            typeInfo_->Release();
    }
    DispatchImpl(const DispatchImpl&) = delete;
    DispatchImpl& operator=(const DispatchImpl&) = delete;

private:
    ITypeInfo* typeInfo_ = nullptr;
};
