// MeridiaCtrl: the dual interface over the module's certificate family, IObjectSafety, the
// class factory and the four entry points.
#include "MeridiaVaultora.h"

#include "MeridiaFlows.h"

#include <objbase.h>
#include <objsafe.h>
#include <olectl.h>
#include <oleauto.h>
#include <windows.h>

#include "platform/com/DispatchImpl.h"
#include "platform/com/Registrar.h"

#include <atomic>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

constexpr DWORD kSupportedSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// A BSTR in the system ANSI code page; nothing for a null BSTR.
std::optional<std::string> ansiText(BSTR text) {
    if (text == nullptr)
        return std::nullopt;
    const int units = static_cast<int>(SysStringLen(text));
    if (units == 0)
        return std::string();
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, units, ansi.data(), bytes, nullptr, nullptr);
    return ansi;
}

BSTR bstrText(const std::string& ansi) {
    if (ansi.empty())
        return SysAllocString(u"");
    const int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    if (units <= 0)
        return SysAllocString(u"");
    std::vector<WCHAR> wide(static_cast<size_t>(units));
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), units);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(units));
}

// A text member's result: the value only when the member produced one.
HRESULT textResult(HRESULT result, const std::string& text, BSTR* pVal) {
    if (result != S_OK)
        return result;
    *pVal = bstrText(text);
    return *pVal != nullptr ? S_OK : E_OUTOFMEMORY;
}

class MeridiaCtrl final : public DispatchImpl<IMeridiaCtrl>, public IObjectSafety {
public:
    MeridiaCtrl() { ++liveObjects; }

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

    HRESULT STDMETHODCALLTYPE get_IsOnline(LONG* pVal) override {
        return meridia::IsOnline(meridia::ModuleState(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetHash(BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GetHash(meridia::ModuleState(), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_HashResult(BSTR bstrData, LONG* pVal) override {
        return meridia::HashResult(meridia::ModuleState(), ansiText(bstrData).value_or(std::string()), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SignResult(BSTR bstrPlainText, LONG* pVal) override {
        return meridia::SignResult(meridia::ModuleState(), ansiText(bstrPlainText).value_or(std::string()), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetSignature(BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GetSignature(meridia::ModuleState(), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GenRandomNumber(LONG Len, BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GenRandomNumber(meridia::ModuleState(), Len, &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SetCertResult(LONG* pVal) override {
        return meridia::SetCertResult(meridia::ModuleState(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertName(BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GetCertName(meridia::ModuleState(), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertSerial(BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GetCertSerial(meridia::ModuleState(), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetKeyModule(BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GetKeyModule(meridia::ModuleState(), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign, LONG* pVal) override {
        return meridia::VerifyResult(meridia::ModuleState(), ansiText(KeyModule), ansiText(PlanText), ansiText(Sign),
                                     pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertContent(BSTR* pVal) override {
        std::string text;
        return textResult(meridia::GetCertContent(meridia::ModuleState(), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_CryptByPukey(BSTR plainText, BSTR publicKey, BSTR* pVal) override {
        std::string text;
        return textResult(meridia::CryptByPukey(ansiText(plainText), ansiText(publicKey), &text), text, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_DecryByPrikey(BSTR cryptText, BSTR* pVal) override {
        std::string text;
        return textResult(meridia::DecryByPrikey(meridia::ModuleState(), ansiText(cryptText), &text), text, pVal);
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
    ~MeridiaCtrl() { --liveObjects; }

    ULONG references_ = 1;
    DWORD safety_ = 0;
};

class Factory final : public IClassFactory {
public:
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
    // The factory lives as long as the module; its references keep the module loaded.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++serverLocks); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--serverLocks); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
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
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++serverLocks : --serverLocks;
        return S_OK;
    }
};

Factory factory;

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_MeridiaCtrl)
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() {
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return RegisterServerModule(ThisModule(), 102);
}

STDAPI DllUnregisterServer() {
    return UnregisterServerModule(ThisModule(), 102);
}
