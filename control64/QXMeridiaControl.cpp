// The control's class SGN: its object, class factory, module entry points and application
// start-up. Every member of ISGN runs a flow over the module-wide state (ModuleState.h).
#include "QXMeridiaControl.h"

#include "ModuleState.h"
#include "TokenInfos.h"
#include "controls/CertDialogs.h"
#include "controls/TextCodecs.h"

#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/DispatchImpl.h"
#include "platform/com/Registrar.h"

#include <new>

namespace {

using certflows::StatusResult;
using certflows::TextIn;
using certflows::TextResult;

// Objects and class-factory locks that keep the module loaded.
ModuleLockCount moduleLocks;

void LockModule() {
    moduleLocks.Lock();
}
void UnlockModule() {
    moduleLocks.Unlock();
}

TextIn In(BSTR text) {
    if (text == nullptr)
        return std::nullopt;
    return std::u16string_view(text, SysStringLen(text));
}

HRESULT Put(const StatusResult& result, LONG* pVal) {
    if (pVal == nullptr)
        return E_POINTER;
    if (result.value)
        *pVal = *result.value;
    return result.hr;
}

HRESULT Put(const TextResult& result, BSTR* pVal) {
    if (pVal == nullptr)
        return E_POINTER;
    if (result.value) {
        *pVal = SysAllocStringLen(result.value->data(), static_cast<UINT>(result.value->size()));
        if (*pVal == nullptr)
            return E_OUTOFMEMORY;
    }
    return result.hr;
}

TextResult TokenSerial(LPCSTR library) {
    char serial[17] = {};
    if (!QueryTokenSerial(library, serial))
        return TextResult{S_OK, std::nullopt};
    return TextResult{S_OK, certflows::fromAnsi(CP_THREAD_ACP, serial)};
}

StatusResult TokenCount(LPCSTR library) {
    LONG count = -1;
    if (!QueryTokenCount(library, &count))
        return StatusResult{S_OK, std::nullopt};
    return StatusResult{S_OK, count};
}

TextResult BaseTokenSerial() {
    switch (TheModuleState().baseMode) {
    case certflows::BaseMode::Direct:
        return TokenSerial(kSkyraTokenLibrary);
    case certflows::BaseMode::Delegated:
        return TokenSerial(kMeridiaTokenLibrary);
    case certflows::BaseMode::None:
        break;
    }
    return TextResult{S_OK, std::u16string(u"-1")};
}

StatusResult BaseTokenCount() {
    switch (TheModuleState().baseMode) {
    case certflows::BaseMode::Direct:
        return TokenCount(kSkyraTokenLibrary);
    case certflows::BaseMode::Delegated:
        return TokenCount(kMeridiaTokenLibrary);
    case certflows::BaseMode::None:
        break;
    }
    return StatusResult{S_OK, std::nullopt};
}

class CSGN final : public IObjectWithSite, public DispatchImpl<ISGN>, public IObjectSafety {
public:
    // `outer` is the controlling unknown of an aggregate, or null for a stand-alone object.
    explicit CSGN(IUnknown* outer) : inner_(this), outer_(outer != nullptr ? outer : &inner_) {
        LockModule();
    }

    IUnknown* NonDelegatingUnknown() { return &inner_; }

    // IUnknown: delegated to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return outer_->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }

    // IObjectWithSite
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) override {
        if (pUnkSite != nullptr)
            pUnkSite->AddRef();
        if (site_ != nullptr)
            site_->Release();
        site_ = pUnkSite;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override {
        if (ppvSite == nullptr)
            return E_POINTER;
        *ppvSite = nullptr;
        if (site_ == nullptr)
            return E_FAIL;
        return site_->QueryInterface(riid, ppvSite);
    }

    // IObjectSafety: only "safe for untrusted callers" is supported.
    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                        DWORD* pdwEnabledOptions) override {
        if (pdwSupportedOptions == nullptr || pdwEnabledOptions == nullptr)
            return E_POINTER;
        *pdwSupportedOptions = 0;
        *pdwEnabledOptions = 0;
        if (!Supports(riid))
            return E_NOINTERFACE;
        *pdwSupportedOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
        *pdwEnabledOptions = safetyOptions_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                                        DWORD dwEnabledOptions) override {
        if (!Supports(riid))
            return E_NOINTERFACE;
        if ((dwOptionSetMask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER)) != 0)
            return E_FAIL;
        safetyOptions_ = (safetyOptions_ & ~dwOptionSetMask) | (dwEnabledOptions & dwOptionSetMask);
        return S_OK;
    }

    // ISGN
    HRESULT STDMETHODCALLTYPE get_IsOnline(LONG* pVal) override {
        return Put(BaseFamily().isOnline(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetHash(BSTR* pVal) override {
        return Put(BaseFamily().getHash(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_HashResult(BSTR bstrData, LONG* pVal) override {
        return Put(BaseFamily().hashResult(In(bstrData)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SignResult(BSTR bstrPlainText, LONG* pVal) override {
        return Put(BaseFamily().signResult(In(bstrPlainText)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetSignature(BSTR* pVal) override {
        return Put(BaseFamily().getSignature(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GenRandomNumber(LONG Len, BSTR* pVal) override {
        return Put(BaseFamily().genRandomNumber(Len), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SetCertResult(LONG* pVal) override {
        eligibleCount_ = 0;
        return Put(BaseFamily().setCertResult(eligibleCount_), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertName(BSTR* pVal) override {
        return Put(BaseFamily().getCertName(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertSerial(BSTR* pVal) override {
        return Put(BaseFamily().getCertSerial(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetKeyModule(BSTR* pVal) override {
        return Put(BaseFamily().getKeyModule(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                               LONG* pVal) override {
        return Put(BaseFamily().verifyResult(In(KeyModule), In(PlanText), In(Sign)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GenRandomNumber_Ex(LONG Len, BSTR* pVal) override {
        return Put(ExFamily().genRandomNumber(Len), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertName_Ex(BSTR* pVal) override {
        return Put(ExFamily().getCertName(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetCertSerial_Ex(BSTR* pVal) override {
        return Put(ExFamily().getCertSerial(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetHash_Ex(BSTR* pVal) override {
        return Put(ExFamily().getHash(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetKeyModule_Ex(BSTR* pVal) override {
        return Put(ExFamily().getKeyModule(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetSignature_Ex(BSTR* pVal) override {
        return Put(ExFamily().getSignature(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_HashResult_Ex(BSTR bstrData, LONG* pVal) override {
        return Put(ExFamily().hashResult(In(bstrData)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_IsOnline_Ex(LONG* pVal) override {
        return Put(ExFamily().isOnline(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SetCertResult_Ex(LONG* pVal) override {
        eligibleCountEx_ = 0;
        return Put(ExFamily().setCertResult(eligibleCountEx_), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_SignResult_Ex(BSTR bstrPlainText, LONG* pVal) override {
        return Put(ExFamily().signResult(In(bstrPlainText)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_VerifyResult_Ex(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                  LONG* pVal) override {
        return Put(ExFamily().verifyResult(In(KeyModule), In(PlanText), In(Sign)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetTokenSerial(BSTR* pVal) override {
        return Put(BaseTokenSerial(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_RefreshToken(LONG* pVal) override {
        return Put(BaseTokenCount(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_GetTokenSerial_Ex(BSTR* pVal) override {
        return Put(TokenSerial(kSkyraTokenLibrary), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_RefreshToken_Ex(LONG* pVal) override {
        return Put(TokenCount(kSkyraTokenLibrary), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_GeneralRSAKey(LONG* pVal) override {
        return Put(Enrolment().GeneralRSAKey(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_IsOnline(LONG* pVal) override {
        return Put(Enrolment().IsOnline(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_ExportPubKey(BSTR* pVal) override {
        return Put(Enrolment().ExportPubKey(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_GetContainName(BSTR* pVal) override {
        return Put(Enrolment().GetContainName(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_SignResult(BSTR bstrPlainText, LONG* pVal) override {
        return Put(Enrolment().SignResult(In(bstrPlainText)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_HashResult(BSTR bstrData, LONG* pVal) override {
        return Put(Enrolment().HashResult(In(bstrData)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_GetHashResult(BSTR* pVal) override {
        return Put(Enrolment().GetHashResult(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_GetSignResult(BSTR* pVal) override {
        return Put(Enrolment().GetSignResult(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                  LONG* pVal) override {
        return Put(Enrolment().VerifyResult(In(KeyModule), In(PlanText), In(Sign)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_RefreshToken(LONG* pVal) override {
        return Put(TokenCount(kSkyraTokenLibrary), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_GetTokenSerial(BSTR* pVal) override {
        return Put(TokenSerial(kSkyraTokenLibrary), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_QX_DeleteRSAKey(BSTR bstrContainerName, LONG* pVal) override {
        return Put(Enrolment().DeleteRSAKey(In(bstrContainerName)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_IsOnline(LONG* pVal) override {
        return Put(MdFamily().isOnline(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GetCertName(BSTR* pVal) override {
        return Put(MdFamily().getCertName(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GetCertSerial(BSTR* pVal) override {
        return Put(MdFamily().getCertSerial(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GetHash(BSTR* pVal) override {
        return Put(MdFamily().getHash(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GetKeyModule(BSTR* pVal) override {
        return Put(MdFamily().getKeyModule(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GetSignature(BSTR* pVal) override {
        return Put(MdFamily().getSignature(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_HashResult(BSTR bstrData, LONG* pVal) override {
        return Put(MdFamily().hashResult(In(bstrData)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_SetCertResult(LONG* pVal) override {
        return Put(MdFamily().setCertResult(), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_SignResult(BSTR bstrPlainText, LONG* pVal) override {
        return Put(MdFamily().signResult(In(bstrPlainText)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                  LONG* pVal) override {
        return Put(MdFamily().verifyResult(In(KeyModule), In(PlanText), In(Sign)), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GenRandomNumber(LONG Len, BSTR* pVal) override {
        return Put(MdFamily().genRandomNumber(Len), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_GetTokenSerial(BSTR* pVal) override {
        return Put(TokenSerial(kMeridiaTokenLibrary), pVal);
    }
    HRESULT STDMETHODCALLTYPE get_md_RefreshToken(LONG* pVal) override {
        return Put(TokenCount(kMeridiaTokenLibrary), pVal);
    }

private:
    // The object's own IUnknown: identity and lifetime, also when aggregated.
    class Inner final : public IUnknown {
    public:
        explicit Inner(CSGN* owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            if (ppv == nullptr)
                return E_POINTER;
            *ppv = owner_->Interface(riid);
            if (*ppv == nullptr)
                return E_NOINTERFACE;
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        // Single-threaded object model: the count is plain.
        ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
        ULONG STDMETHODCALLTYPE Release() override {
            const ULONG left = --references_;
            if (left == 0)
                delete owner_;
            return left;
        }

    private:
        CSGN* owner_;
        ULONG references_ = 1;
    };

    ~CSGN() {
        if (site_ != nullptr)
            site_->Release();
        UnlockModule();
    }

    void* Interface(REFIID riid) {
        if (riid == IID_IUnknown)
            return &inner_;
        if (riid == IID_ISGN || riid == IID_IDispatch)
            return static_cast<ISGN*>(this);
        if (riid == IID_IObjectWithSite)
            return static_cast<IObjectWithSite*>(this);
        if (riid == IID_IObjectSafety)
            return static_cast<IObjectSafety*>(this);
        return nullptr;
    }
    bool Supports(REFIID riid) { return Interface(riid) != nullptr; }

    Inner inner_;
    IUnknown* outer_;
    IUnknown* site_ = nullptr;
    DWORD safetyOptions_ = 0;
    // Eligible certificates of SetCertResult and SetCertResult_Ex: reset on entry to each, counted
    // by its scan, which asks the user only when two or more are counted.
    DWORD eligibleCount_ = 0;
    DWORD eligibleCountEx_ = 0;
};

HRESULT CreateSGN(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
    // An aggregate asks for the inner object's own IUnknown and nothing else.
    if (pUnkOuter != nullptr && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) CSGN(pUnkOuter);
    if (object == nullptr)
        return E_OUTOFMEMORY;
    IUnknown* inner = object->NonDelegatingUnknown();
    HRESULT result = object->InitDispatch(ThisModule(), IID_ISGN);
    if (SUCCEEDED(result))
        result = inner->QueryInterface(riid, ppvObject);
    inner->Release();
    return result;
}

ClassFactory sgnFactory(moduleLocks, CreateSGN);

// The COM module: the class table, the instance handle and the type library's identity.
struct ObjectEntry {
    const CLSID* clsid;
    IClassFactory* factory;
};
const ObjectEntry objectMap[] = {{&CLSID_SGN, &sgnFactory}};

class ControlModule {
public:
    void Init(const ObjectEntry* map, size_t count, HINSTANCE instance, const GUID* libid) {
        map_ = map;
        count_ = count;
        instance_ = instance;
        libid_ = libid;
    }
    void Term() {
        map_ = nullptr;
        count_ = 0;
    }
    IClassFactory* Factory(REFCLSID clsid) const {
        for (size_t i = 0; i < count_; ++i)
            if (*map_[i].clsid == clsid)
                return map_[i].factory;
        return nullptr;
    }
    HINSTANCE Instance() const { return instance_; }
    LONG LockCount() const { return moduleLocks.Count(); }

private:
    const ObjectEntry* map_ = nullptr;
    size_t count_ = 0;
    HINSTANCE instance_ = nullptr;
    const GUID* libid_ = nullptr;
};

ControlModule module;

// The application object: its construction at load is the module's start-up, its destruction at
// unload the shut-down.
class CQXMeridiaControlApp {
public:
    CQXMeridiaControlApp() { InitInstance(); }
    ~CQXMeridiaControlApp() { ExitInstance(); }

    void InitInstance() {
        module.Init(objectMap, sizeof objectMap / sizeof objectMap[0], ThisModule(),
                    &LIBID_QXMERIDIACONTROLLib);
    }
    void ExitInstance() { module.Term(); }
};

CQXMeridiaControlApp theApp;

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    OutputDebugStringA("-->DllGetClassObject");
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = module.Factory(rclsid);
    if (factory == nullptr)
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, ppv);
}

// The windowing framework's reference counts too: once this module has made the process's
// QApplication for a choice dialog, it stays loaded for the life of the host.
STDAPI DllCanUnloadNow() {
    if (certdialogs::applicationMadeHere())
        return S_FALSE;
    return module.LockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return RegisterServerModule(ThisModule(), 102);
}

STDAPI DllUnregisterServer() {
    return UnregisterServerModule(ThisModule(), 102);
}
