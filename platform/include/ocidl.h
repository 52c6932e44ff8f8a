// OLE control interfaces: IObjectWithSite, through which a host hands an object its site.
#pragma once

#include <oaidl.h>

extern "C" const IID IID_IObjectWithSite;

struct IObjectWithSite : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) = 0;

protected:
    ~IObjectWithSite() = default;
};
typedef IObjectWithSite* LPOBJECTWITHSITE;
