// The module and the class as a host sees them: registration through korvan-regsvr32, the type
// information behind IDispatch, COM identity and aggregation, object safety and the site.
#include "ControlFixture.h"

#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>

#include "control64/QXMeridiaControl.h"
#include "platform/Registry.h"
#include "platform/com/Utf16.h"

#include <QLoggingCategory>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <set>

namespace control64_test {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kClsidKey = "CLSID\\{01C54245-0C6F-447A-8D31-629545D2BDF3}";
constexpr const char* kLibid = "{D2911ABE-D366-4745-9C65-4ECFD7182A7E}";

std::string defaultValue(const std::string& path) {
    const auto key = RegistryKey::open(RegistryRoot::ClassesRoot, path);
    if (!key)
        return "<no key>";
    return key->stringValue("").value_or("<no value>");
}

std::string stringValue(const std::string& path, const std::string& name) {
    const auto key = RegistryKey::open(RegistryRoot::ClassesRoot, path);
    if (!key)
        return "<no key>";
    return key->stringValue(name).value_or("<no value>");
}

std::string regsvr32(const std::string& arguments) {
    const auto run =
        control_host::runCommand(std::string(CONTROL_HOST_REGSVR32) + " /s " + arguments);
    return std::to_string(run.exitCode) + " " + run.output;
}

using RegistrationTest = ControlTest;

TEST_F(RegistrationTest, Regsvr32WritesBothProgIdsTheClassAndTheTypeLibraryAndUnregistersThem) {
    ASSERT_EQ(regsvr32(std::string("/u ") + CONTROL_MODULE), "0 ");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN"), "<no key>");
    ASSERT_EQ(regsvr32(CONTROL_MODULE), "0 ");

    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN.1"), "SGN Class");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN.1\\CLSID"),
              "{01C54245-0C6F-447A-8D31-629545D2BDF3}");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN"), "SGN Class");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN\\CLSID"),
              "{01C54245-0C6F-447A-8D31-629545D2BDF3}");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN\\CurVer"), "QXMeridiaControl.SGN.1");

    const std::string clsid = kClsidKey;
    EXPECT_EQ(defaultValue(clsid), "SGN Class");
    EXPECT_EQ(defaultValue(clsid + "\\ProgID"), "QXMeridiaControl.SGN.1");
    EXPECT_EQ(defaultValue(clsid + "\\VersionIndependentProgID"), "QXMeridiaControl.SGN");
    EXPECT_NE(defaultValue(clsid + "\\Programmable"), "<no key>");
    EXPECT_EQ(defaultValue(clsid + "\\InprocServer32"), CONTROL_MODULE);
    EXPECT_EQ(stringValue(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(defaultValue(clsid + "\\TypeLib"), kLibid);

    const std::string typeLib = std::string("TypeLib\\") + kLibid + "\\1.0";
    EXPECT_EQ(defaultValue(typeLib), "QXMeridiaControl 1.0 Type Library");
    EXPECT_EQ(defaultValue(typeLib + "\\409\\win64"), CONTROL_MODULE);
    EXPECT_EQ(defaultValue("Interface\\{A07A06F5-CD6E-405A-8F90-0B067BD25C99}"), "ISGN");

    ASSERT_EQ(regsvr32(std::string("/u ") + CONTROL_MODULE), "0 ");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN.1"), "<no key>");
    EXPECT_EQ(defaultValue("QXMeridiaControl.SGN"), "<no key>");
    EXPECT_EQ(defaultValue(clsid), "<no key>");
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID").has_value())
        << "CLSID itself stays";
    EXPECT_EQ(defaultValue(typeLib), "<no key>");

    HRESULT hr = S_OK;
    EXPECT_FALSE(Control::create(kProgId, &hr));
    EXPECT_NE(hr, S_OK);
}

// Registered from the module's own folder by a bare or relative name, the module is still found
// from anywhere: the registration records its absolute path.
TEST_F(RegistrationTest, ARelativeNameIsRegisteredAsTheAbsolutePath) {
    char real[PATH_MAX];
    ASSERT_NE(realpath(CONTROL_MODULE, real), nullptr);
    const std::string module = real;
    const std::string folder = module.substr(0, module.rfind('/'));
    const std::string name = module.substr(module.rfind('/') + 1);
    const std::string clsid = kClsidKey;
    const std::string typeLib = std::string("TypeLib\\") + kLibid + "\\1.0\\409\\win64";
    for (const std::string& given : {name, "./" + name}) {
        SCOPED_TRACE(given);
        const auto run = control_host::runCommand("cd '" + folder + "' && " + CONTROL_HOST_REGSVR32 + " /s " + given);
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(defaultValue(clsid + "\\InprocServer32"), module);
        EXPECT_EQ(defaultValue(typeLib), module);
        HRESULT hr = E_FAIL;
        EXPECT_TRUE(Control::create(kProgId, &hr)) << std::hex << hr;
    }
}

TEST_F(RegistrationTest, TheModuleAnswersOnlyForItsClassAndWritesItsDebugLine) {
    static std::vector<std::string> debugLines;
    debugLines.clear();
    QLoggingCategory::setFilterRules("korvan.debug=true");
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            debugLines.push_back(message.toStdString());
        });

    void* module = dlopen(CONTROL_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr);
    using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(dlsym(module, "DllGetClassObject"));
    ASSERT_NE(getClassObject, nullptr);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
    IClassFactory* factory = nullptr;
    EXPECT_EQ(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_IDispatch, IID_IClassFactory, &other), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(other, nullptr);

    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules("");
    EXPECT_EQ(std::count(debugLines.begin(), debugLines.end(), "-->DllGetClassObject"), 2);

    using CanUnload = HRESULT (*)();
    auto canUnload = reinterpret_cast<CanUnload>(dlsym(module, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE) << "a factory reference holds the module";
    IUnknown* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
              S_OK);
    factory->Release();
    EXPECT_EQ(canUnload(), S_FALSE) << "a live object holds the module";
    object->Release();
    EXPECT_EQ(canUnload(), S_OK);
    dlclose(module);
}

TEST_F(RegistrationTest, TheModuleExportsExactlyTheFourEntryPoints) {
    const auto run = control_host::runCommand(std::string("nm -D --defined-only ") +
                                              CONTROL_MODULE + " | awk '{print $3}' | sort");
    EXPECT_EQ(run.output,
              "DllCanUnloadNow\nDllGetClassObject\nDllRegisterServer\nDllUnregisterServer\n");
}

// Owns a FUNCDESC of the type information.
struct FunctionDescription {
    ITypeInfo* info;
    FUNCDESC* desc = nullptr;
    FunctionDescription(ITypeInfo* typeInfo, UINT index) : info(typeInfo) {
        info->GetFuncDesc(index, &desc);
    }
    ~FunctionDescription() {
        if (desc != nullptr)
            info->ReleaseFuncDesc(desc);
    }
};

std::string utf8(BSTR text) {
    return text != nullptr ? platform::utf8FromUtf16(std::u16string_view(text, SysStringLen(text)))
                           : "<null>";
}

TEST_F(RegistrationTest, TypeInformationListsTheMembersInDispidOrderWithTheirParametersAndHelp) {
    Control control = create();
    ASSERT_TRUE(control);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(control.dispatch()->GetTypeInfo(0, 0x409, &info), S_OK);

    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    const WORD functions = attributes->cFuncs;
    EXPECT_EQ(attributes->guid, IID_ISGN);
    info->ReleaseTypeAttr(attributes);
    ASSERT_EQ(functions, 51);

    MEMBERID expected = 1;
    SHORT previousSlot = -1;
    for (UINT i = 0; i < functions; ++i) {
        FunctionDescription f(info, i);
        ASSERT_NE(f.desc, nullptr);
        if (expected == 40)
            ++expected;
        EXPECT_EQ(f.desc->memid, expected) << "index " << i;
        EXPECT_GT(f.desc->oVft, previousSlot) << "slots follow the DISPIDs";
        previousSlot = f.desc->oVft;
        EXPECT_EQ(f.desc->invkind, INVOKE_PROPERTYGET);

        BSTR names[5] = {};
        UINT count = 0;
        ASSERT_EQ(info->GetNames(f.desc->memid, names, 5, &count), S_OK);
        const std::string name = utf8(names[0]);
        BSTR help = nullptr;
        ASSERT_EQ(info->GetDocumentation(f.desc->memid, nullptr, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(utf8(help), "property " + name);
        SysFreeString(help);

        // The arguments before pVal: inputs marked [in] only in the QX_ family and in md_ members
        // other than md_GenRandomNumber.
        const bool marked = (name.rfind("QX_", 0) == 0 || name.rfind("md_", 0) == 0) &&
                            name != "md_GenRandomNumber";
        ASSERT_GE(f.desc->cParams, 1) << name;
        for (SHORT p = 0; p + 1 < f.desc->cParams; ++p)
            EXPECT_EQ(f.desc->lprgelemdescParam[p].paramdesc.wParamFlags,
                      marked ? PARAMFLAG_FIN : 0)
                << name << " argument " << p;
        const USHORT last = f.desc->lprgelemdescParam[f.desc->cParams - 1].paramdesc.wParamFlags;
        EXPECT_EQ(last, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL) << name;

        std::string arguments;
        for (UINT n = 1; n < count; ++n)
            arguments += utf8(names[n]) + (n + 1 < count ? "," : "");
        for (BSTR& n : names)
            SysFreeString(n);
        std::string expectedArguments = "pVal";
        if (name.find("VerifyResult") != std::string::npos)
            expectedArguments = "KeyModule,PlanText,Sign,pVal";
        else if (name.find("GenRandomNumber") != std::string::npos)
            expectedArguments = "Len,pVal";
        else if (name.find("HashResult") != std::string::npos && name != "QX_GetHashResult")
            expectedArguments = "bstrData,pVal";
        else if (name.find("SignResult") != std::string::npos && name != "QX_GetSignResult")
            expectedArguments = "bstrPlainText,pVal";
        else if (name == "QX_DeleteRSAKey")
            expectedArguments = "bstrContainerName,pVal";
        EXPECT_EQ(arguments, expectedArguments) << name;
        ++expected;
    }
    EXPECT_EQ(expected, 53);
    EXPECT_EQ(control.idOf("md_IsOnline"), 39);
    EXPECT_EQ(control.idOf("md_GetCertName"), 41);
    EXPECT_EQ(control.idOf("QX_DeleteRSAKey"), 38);

    ITypeLib* library = nullptr;
    UINT index = 0;
    ASSERT_EQ(info->GetContainingTypeLib(&library, &index), S_OK);
    TLIBATTR* libraryAttributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&libraryAttributes), S_OK);
    EXPECT_EQ(libraryAttributes->lcid, 0x409u);
    EXPECT_EQ(libraryAttributes->syskind, SYS_WIN64);
    EXPECT_EQ(libraryAttributes->wMajorVerNum, 1);
    EXPECT_EQ(libraryAttributes->wMinorVerNum, 0);
    library->ReleaseTLibAttr(libraryAttributes);
    BSTR libraryName = nullptr, libraryHelp = nullptr;
    ASSERT_EQ(library->GetDocumentation(-1, &libraryName, &libraryHelp, nullptr, nullptr), S_OK);
    EXPECT_EQ(utf8(libraryName), "QXMERIDIACONTROLLib");
    EXPECT_EQ(utf8(libraryHelp), "QXMeridiaControl 1.0 Type Library");
    SysFreeString(libraryName);
    SysFreeString(libraryHelp);
    library->Release();
    info->Release();
}

TEST_F(RegistrationTest, Dispid40IsNotAMember) {
    Control control = create();
    const CallResult absent = control.invoke(40);
    EXPECT_EQ(absent.hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_FALSE(absent.hasValue());
    EXPECT_EQ(control.invoke(53).hr, DISP_E_MEMBERNOTFOUND);
}

TEST_F(RegistrationTest, QueryInterfaceAnswersExactlyTheFiveInterfacesWithOneIdentity) {
    Control control = create();
    IDispatch* dispatch = control.dispatch();
    IUnknown* identity = nullptr;
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    for (const IID* iid :
         {&IID_IUnknown, &IID_ISGN, &IID_IDispatch, &IID_IObjectWithSite, &IID_IObjectSafety}) {
        IUnknown* answer = nullptr;
        ASSERT_EQ(dispatch->QueryInterface(*iid, reinterpret_cast<void**>(&answer)), S_OK);
        IUnknown* again = nullptr;
        ASSERT_EQ(answer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
        EXPECT_EQ(again, identity);
        again->Release();
        answer->Release();
    }
    for (const IID* iid : {&IID_IClassFactory, &IID_ITypeInfo, &IID_NULL}) {
        void* answer = reinterpret_cast<void*>(1);
        EXPECT_EQ(dispatch->QueryInterface(*iid, &answer), E_NOINTERFACE);
        EXPECT_EQ(answer, nullptr);
    }
    identity->Release();
}

TEST_F(RegistrationTest, ObjectSafetySupportsOnlyUntrustedCallers) {
    Control control = create();
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(
        control.dispatch()->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)),
        S_OK);
    DWORD supported = 0, enabled = 99;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, DWORD{INTERFACESAFE_FOR_UNTRUSTED_CALLER});
    EXPECT_EQ(enabled, 0u);

    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                INTERFACESAFE_FOR_UNTRUSTED_DATA),
              E_FAIL);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_ISGN, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 0u) << "a refused request records nothing";

    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                INTERFACESAFE_FOR_UNTRUSTED_CALLER |
                                                    INTERFACESAFE_FOR_UNTRUSTED_DATA),
              S_OK);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, DWORD{INTERFACESAFE_FOR_UNTRUSTED_CALLER}) << "only within the mask";

    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled),
              E_NOINTERFACE);
    safety->Release();
}

// A site that counts its references and answers IUnknown only.
class CountingSite final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown ? this : nullptr;
        if (*ppv == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    ULONG references = 1;
};

TEST_F(RegistrationTest, TheSiteIsKeptQueriedAndReleased) {
    Control control = create();
    IObjectWithSite* withSite = nullptr;
    ASSERT_EQ(control.dispatch()->QueryInterface(IID_IObjectWithSite,
                                                 reinterpret_cast<void**>(&withSite)),
              S_OK);
    void* site = reinterpret_cast<void*>(1);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &site), E_FAIL);
    EXPECT_EQ(site, nullptr);

    CountingSite first, second;
    EXPECT_EQ(withSite->SetSite(&first), S_OK);
    EXPECT_EQ(first.references, 2u);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &site), S_OK);
    EXPECT_EQ(site, &first);
    first.Release();
    EXPECT_EQ(withSite->GetSite(IID_IDispatch, &site), E_NOINTERFACE);

    EXPECT_EQ(withSite->SetSite(&second), S_OK);
    EXPECT_EQ(first.references, 1u) << "the previous site is released";
    EXPECT_EQ(second.references, 2u);
    EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(second.references, 1u);
    withSite->SetSite(&second);
    withSite->Release();
    control = Control();
    EXPECT_EQ(second.references, 1u) << "the object's end releases its site";
}

// An outer object that forwards QueryInterface for IDispatch to the aggregated control.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        ++queries;
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    IUnknown* inner = nullptr;
    ULONG references = 1;
    int queries = 0;
};

TEST_F(RegistrationTest, TheClassAggregatesUnderAnOuterObject) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
    Outer outer;
    void* refused = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &refused),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);

    ASSERT_EQ(CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    ASSERT_NE(outer.inner, nullptr);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(outer.references, 2u) << "the inner object's interfaces count on the outer object";
    const int before = outer.queries;
    IUnknown* identity = nullptr;
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer) << "the aggregate's identity is the outer object";
    EXPECT_EQ(outer.queries, before + 1);
    identity->Release();

    Control aggregated;
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch->Invoke(33, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                               nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    VariantClear(&result);
    dispatch->Release();
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(outer.references, 1u);
}

} // namespace
} // namespace control64_test
