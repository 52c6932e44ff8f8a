// MeridiaCtrl: the dual interface over the module's certificate family, IObjectSafety, the
// class factory and the four entry points.
#include "MeridiaVaultora.h"

#include "KeyCrypt.h"

#include <controls/CertDialogs.h>

#include <objbase.h>
#include <objsafe.h>
#include <olectl.h>
#include <oleauto.h>
#include <windows.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/DispatchImpl.h"
#include "platform/com/Registrar.h"

#include <new>
#include <optional>
#include <string>

namespace {

ModuleLockCount moduleLocks;

constexpr DWORD kSupportedSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// The module's one certificate family, kept from module load to unload and shared by every
// object of the process.
struct ModuleFamily {
    certdialogs::CCertSelect32 dialog{CP_ACP};
    certflows::FamilyConfig config = certflows::meridia32Config();
    certflows::CertFamilyState state;
    certflows::CertificateContentTexts contents;
    certflows::CertFamily family{config, state, &contents};
    ModuleFamily() {
        config.dialog = &dialog;
        certflows::CertFamily::initialise(config, state);
    }
};

certflows::CertFamily& Family() {
    static ModuleFamily module;
    return module.family;
}

certflows::TextIn textIn(BSTR text) {
    if (text == nullptr)
        return std::nullopt;
    return std::u16string_view(text, SysStringLen(text));
}

HRESULT statusOut(const certflows::StatusResult& result, LONG* pVal) {
    if (pVal == nullptr)
        return E_POINTER;
    if (result.value)
        *pVal = *result.value;
    return result.hr;
}

// A text member's result: the value only when the member produced one.
HRESULT textOut(const certflows::TextResult& result, BSTR* pVal) {
    if (pVal == nullptr)
        return E_POINTER;
    if (!result.value)
        return result.hr;
    *pVal = SysAllocStringLen(result.value->data(), static_cast<UINT>(result.value->size()));
    return *pVal != nullptr ? result.hr : E_OUTOFMEMORY;
}

class MeridiaCtrl final : public DispatchImpl<IMeridiaCtrl>, public IObjectSafety {
public:
    MeridiaCtrl() { moduleLocks.Lock(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IMeridiaCtrl)
            *ppv = static_cast<IMeridiaCtrl*>(this);
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

    HRESULT STDMETHODCALLTYPE get_IsOnline(LONG* pVal) override { return statusOut(Family().isOnline(), pVal); }
    HRESULT STDMETHODCALLTYPE get_GetHash(BSTR* pVal) override { return textOut(Family().getHash(), pVal); }
    HRESULT STDMETHODCALLTYPE get_HashResult(BSTR bstrData, LONG* pVal) override {
        return statusOut(Family().hashResult(textIn(bstrData)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SignResult(BSTR bstrPlainText, LONG* pVal) override {
        return statusOut(Family().signResult(textIn(bstrPlainText)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetSignature(BSTR* pVal) override { return textOut(Family().getSignature(), pVal); }
    HRESULT STDMETHODCALLTYPE get_GenRandomNumber(LONG Len, BSTR* pVal) override {
        return textOut(Family().genRandomNumber(Len), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SetCertResult(LONG* pVal) override {
        return statusOut(Family().setCertResult(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertName(BSTR* pVal) override { return textOut(Family().getCertName(), pVal); }
    HRESULT STDMETHODCALLTYPE get_GetCertSerial(BSTR* pVal) override {
        return textOut(Family().getCertSerial(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetKeyModule(BSTR* pVal) override { return textOut(Family().getKeyModule(), pVal); }
    HRESULT STDMETHODCALLTYPE get_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign, LONG* pVal) override {
        return statusOut(Family().verifyResult(textIn(KeyModule), textIn(PlanText), textIn(Sign)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertContent(BSTR* pVal) override {
        return textOut(Family().getCertContent(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_CryptByPukey(BSTR plainText, BSTR publicKey, BSTR* pVal) override {
        return textOut(meridia::CryptByPukey(textIn(plainText), textIn(publicKey)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_DecryByPrikey(BSTR cryptText, BSTR* pVal) override {
        return textOut(meridia::DecryByPrikey(Family().state(), textIn(cryptText)), pVal);
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override {
        if (supported == nullptr || enabled == nullptr)
            return E_POINTER;
        IUnknown* probe = nullptr;
        const HRESULT result = QueryInterface(riid, reinterpret_cast<void**>(&probe));
        if (FAILED(result)) {
            *supported = 0;
            *enabled = 0;
            return result;
        }
        probe->Release();
        *supported = kSupportedSafety;
        *enabled = safety_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) override {
        if ((mask & ~kSupportedSafety) != 0)
            return E_FAIL;
        safety_ = (safety_ & ~mask) | (enabled & mask);
        return S_OK;
    }

private:
    ~MeridiaCtrl() { moduleLocks.Unlock(); }

    ULONG references_ = 1;
    DWORD safety_ = 0;
};

HRESULT CreateMeridiaCtrl(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) MeridiaCtrl();
    if (object == nullptr)
        return E_OUTOFMEMORY;
    HRESULT result = object->InitDispatch(ThisModule(), IID_IMeridiaCtrl);
    if (SUCCEEDED(result))
        result = object->QueryInterface(riid, ppv);
    object->Release();
    return result;
}

ClassFactory factory(moduleLocks, CreateMeridiaCtrl);

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return factory.GetClassObject(rclsid, CLSID_MeridiaCtrl, riid, ppv);
}

// A QApplication this module made for its choice dialog holds it for the life of the host.
STDAPI DllCanUnloadNow() {
    if (certdialogs::applicationMadeHere())
        return S_FALSE;
    return moduleLocks.CanUnloadNow();
}

STDAPI DllRegisterServer() {
    return RegisterServerModule(ThisModule(), 102);
}

STDAPI DllUnregisterServer() {
    return UnregisterServerModule(ThisModule(), 102);
}
