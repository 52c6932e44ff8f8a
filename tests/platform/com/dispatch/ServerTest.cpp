// A host's view of the test server: registration with korvan-regsvr32, activation by ProgID,
// calls through IDispatch by the names of the type information, COM identity, unloading.
#include "TestServer.h"
#include "TestSupport.h"

#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>
#include <oleauto.h>

#include "platform/com/GuidText.h"
#include "platform/com/Utf16.h"

#include <dlfcn.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <vector>

namespace {

using platform::RegistryRoot;

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

// Runs korvan-regsvr32 with the arguments, both output streams captured.
ToolRun regsvr32(const std::string& arguments) {
    ToolRun run;
    const std::string command = std::string(REGSVR32_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 512> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        run.output += buffer.data();
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool serverLoaded() {
    void* handle = dlopen(TEST_SERVER_PATH, RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr)
        dlclose(handle);
    return handle != nullptr;
}

// Invoke with arguments given first to last; the result in *result.
HRESULT invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> arguments, VARIANT* result,
               UINT* argError = nullptr) {
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT ignored = 0;
    return object->Invoke(id, IID_NULL, 0x409, flags, &params, result, nullptr,
                          argError != nullptr ? argError : &ignored);
}

VARIANT longArg(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT textArg(BSTR value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = value; // borrowed: the caller keeps ownership
    return v;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(regsvr32(std::string("/s ") + TEST_SERVER_PATH).exitCode, 0);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        EXPECT_FALSE(serverLoaded()) << "the last CoUninitialize unloads an idle server";
    }

    // Created by ProgID, as a script host does.
    IDispatch* create() {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(u"KorvanTest.TestObject", &clsid), S_OK);
        EXPECT_EQ(clsid, CLSID_TestObject);
        IDispatch* object = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        return object;
    }

    DISPID idOf(IDispatch* object, const char16_t* name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id), S_OK) << "name lookup";
        return id;
    }

    TempRegistry registry_;
};

TEST_F(ServerTest, MembersAreCalledByTheirNamesThroughInvoke) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);

    VARIANT result;
    VariantInit(&result);
    // Script engines call property gets with METHOD | PROPERTYGET.
    EXPECT_EQ(invoke(object, idOf(object, u"name"), DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"korvan");
    VariantClear(&result);

    EXPECT_EQ(invoke(object, idOf(object, u"COUNT"), DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 42);

    EXPECT_EQ(invoke(object, idOf(object, u"Flag"), DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);

    EXPECT_EQ(invoke(object, idOf(object, u"Twice"), DISPATCH_METHOD, {longArg(21)}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 42);

    // Arguments converted to the declared types: a number as text, a text number, a boolean.
    Bstr ab(u"ab");
    Bstr three(u"3");
    VARIANT upper;
    VariantInit(&upper);
    upper.vt = VT_I4;
    upper.lVal = -1;
    EXPECT_EQ(invoke(object, idOf(object, u"Join"), DISPATCH_METHOD, {textArg(ab.value), textArg(three.value), upper},
                     &result),
              S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"ABABAB");
    VariantClear(&result);
    EXPECT_EQ(invoke(object, idOf(object, u"Join"), DISPATCH_METHOD, {longArg(12), longArg(2), longArg(0)}, &result),
              S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"1212");
    VariantClear(&result);

    object->Release();
}

TEST_F(ServerTest, ResultsAreTheMembersOwn) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);
    VARIANT result;
    VariantInit(&result);

    // S_FALSE and no value written: the result stays empty.
    EXPECT_EQ(invoke(object, idOf(object, u"Nothing"), DISPATCH_PROPERTYGET, {}, &result), S_FALSE);
    EXPECT_EQ(result.vt, VT_EMPTY);

    // A failure passes through unchanged, and the value written with it is dropped.
    EXPECT_EQ(invoke(object, idOf(object, u"Fails"), DISPATCH_PROPERTYGET, {}, &result), kTestMemberFailure);
    EXPECT_EQ(result.vt, VT_EMPTY);

    // A method with neither arguments nor value: its own S_OK, then S_FALSE on the next call.
    const DISPID touch = idOf(object, u"Touch");
    EXPECT_EQ(invoke(object, touch, DISPATCH_METHOD, {}, &result), S_OK);
    EXPECT_EQ(invoke(object, touch, DISPATCH_METHOD, {}, nullptr), S_FALSE);
    EXPECT_EQ(result.vt, VT_EMPTY);
    object->Release();
}

TEST_F(ServerTest, InvokeRefusesWhatTheMemberDoesNotTake) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);
    VARIANT result;
    VariantInit(&result);

    EXPECT_EQ(invoke(object, 5, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(object, 1, DISPATCH_PROPERTYPUT, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(object, 1, DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND) << "a property is no method";
    EXPECT_EQ(invoke(object, 9, DISPATCH_PROPERTYGET, {}, &result), DISP_E_MEMBERNOTFOUND) << "a method is no property";
    EXPECT_EQ(invoke(object, 1, DISPATCH_PROPERTYGET, {longArg(1)}, &result), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(object, 4, DISPATCH_METHOD, {longArg(1), longArg(1)}, &result), DISP_E_BADPARAMCOUNT);

    DISPID named = 0;
    VARIANT one = longArg(1);
    DISPPARAMS withName{&one, &named, 1, 1};
    EXPECT_EQ(object->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &withName, &result, nullptr, nullptr),
              DISP_E_NONAMEDARGS);

    // The second argument of Join (rgvarg index 1, counted from the last) cannot become a long.
    Bstr word(u"word");
    Bstr notNumber(u"many");
    UINT argError = 99;
    EXPECT_EQ(invoke(object, 4, DISPATCH_METHOD, {textArg(word.value), textArg(notNumber.value), longArg(0)}, &result,
                     &argError),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 1u);
    EXPECT_EQ(result.vt, VT_EMPTY);
    EXPECT_EQ(object->Invoke(1, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &withName, &result, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    object->Release();
}

TEST_F(ServerTest, NamesResolveWithoutCaseAndOnlyForTheInterfacesOwnMembers) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(idOf(object, u"jOiN"), 4);

    for (const char16_t* name : {u"QueryInterface", u"AddRef", u"Release", u"GetTypeInfoCount", u"GetTypeInfo",
                                 u"GetIDsOfNames", u"Invoke", u"NoSuchMember"}) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
        EXPECT_EQ(id, DISPID_UNKNOWN);
    }
    // Parameter names resolve to their positions; an unknown one is DISPID_UNKNOWN.
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Join"), const_cast<LPOLESTR>(u"TIMES"), const_cast<LPOLESTR>(u"none")};
    DISPID ids[3] = {};
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 4);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    object->Release();
}

TEST_F(ServerTest, QueryInterfaceFollowsTheIdentityRules) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);
    IUnknown* fromDispatch = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromDispatch)), S_OK);
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    IUnknown* fromSafety = nullptr;
    ASSERT_EQ(safety->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromSafety)), S_OK);
    EXPECT_EQ(fromDispatch, fromSafety) << "one IUnknown whatever interface it is asked through";

    // Symmetric and transitive: IObjectSafety -> ITestObject -> IObjectSafety is the same pointer.
    ITestObject* typed = nullptr;
    ASSERT_EQ(safety->QueryInterface(IID_ITestObject, reinterpret_cast<void**>(&typed)), S_OK);
    IObjectSafety* back = nullptr;
    ASSERT_EQ(typed->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, safety);

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(IID_IObjectWithSite, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // Every successful query added one reference: 1 + 5 now, and each Release counts down.
    EXPECT_EQ(object->AddRef(), 7u);
    EXPECT_EQ(object->Release(), 6u);
    for (IUnknown* held : {static_cast<IUnknown*>(back), static_cast<IUnknown*>(typed), fromSafety,
                           static_cast<IUnknown*>(safety), fromDispatch})
        held->Release();
    EXPECT_EQ(object->Release(), 0u);
}

TEST_F(ServerTest, TypeInformationComesFromTheObjectAndFromTheFile) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);
    UINT count = 0;
    EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(object->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    ASSERT_EQ(object->GetTypeInfo(0, 0, &info), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ITestObject);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->cFuncs, 8);
    EXPECT_NE(attr->wTypeFlags & TYPEFLAG_FDUAL, 0);
    info->ReleaseTypeAttr(attr);
    info->Release();
    object->Release();

    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLib(platform::utf16FromUtf8(TEST_SERVER_PATH).c_str(), &library), S_OK);
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&libAttr), S_OK);
    EXPECT_EQ(libAttr->guid, LIBID_KORVANTESTSERVERLib);
    EXPECT_EQ(libAttr->syskind, SYS_WIN64);
    EXPECT_EQ(libAttr->lcid, 0x409u);
    library->ReleaseTLibAttr(libAttr);
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_TestObject, &coclass), S_OK);
    BSTR name = nullptr;
    BSTR help = nullptr;
    EXPECT_EQ(coclass->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"TestObject");
    EXPECT_EQ(std::u16string(help), u"TestObject Class");
    SysFreeString(name);
    SysFreeString(help);
    coclass->Release();
    library->Release();
}

TEST_F(ServerTest, ActivationFailsAsWindowsDoes) {
    void* none = reinterpret_cast<void*>(1);
    const CLSID unknown = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(none, nullptr);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"KorvanTest.NoSuchThing", &clsid), CO_E_CLASSSTRING);

    // The outer object reaches the class factory, which refuses aggregation.
    IUnknown* outer = reinterpret_cast<IUnknown*>(&clsid);
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &none),
              CLASS_E_NOAGGREGATION);

    // A class the server does not make, registered as if it did.
    const std::string other = "CLSID\\" + platform::guidToText(unknown) + "\\InprocServer32";
    platform::RegistryKey::create(RegistryRoot::ClassesRoot, other)->setString("", TEST_SERVER_PATH);
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none),
              CLASS_E_CLASSNOTAVAILABLE);
    platform::RegistryKey::open(RegistryRoot::ClassesRoot, other)->setString("", "/nonexistent/libgone.so");
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none), CO_E_DLLNOTFOUND);
    platform::RegistryKey::open(RegistryRoot::ClassesRoot, other)->setString("", REGSVR32_PATH);
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none), CO_E_ERRORINDLL)
        << "a file that is no loadable module";
    platform::deleteTree(RegistryRoot::ClassesRoot, "CLSID\\" + platform::guidToText(unknown));
}

TEST_F(ServerTest, IdleServersAreUnloadedAndBusyOnesKept) {
    IDispatch* object = create();
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(serverLoaded());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(serverLoaded()) << "an object is alive";

    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    object->Release();
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(serverLoaded()) << "the server is locked";

    ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(serverLoaded());
}

TEST(Activation, NeedsCoInitializeOnTheThread) {
    TempRegistry registry;
    void* none = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE) << "counted";
    EXPECT_NE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "the apartment model cannot change";
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none),
              REGDB_E_CLASSNOTREG)
        << "still initialized once";
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none),
              CO_E_NOTINITIALIZED);
}

TEST(Regsvr32, RegistersUnregistersAndReportsFailures) {
    TempRegistry registry;
    const QJsonObject before = storeContents(RegistryRoot::ClassesRoot);

    ToolRun run = regsvr32(TEST_SERVER_PATH);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("DllRegisterServer"), std::string::npos);
    EXPECT_NE(run.output.find("succeeded"), std::string::npos);
    EXPECT_EQ(defaultValueOf("KorvanTest.TestObject\\CurVer"), "KorvanTest.TestObject.1");
    EXPECT_EQ(defaultValueOf("CLSID\\{5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0003}\\InprocServer32"), TEST_SERVER_PATH);
    EXPECT_EQ(defaultValueOf("TypeLib\\{5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0001}\\1.0\\409\\win64"), TEST_SERVER_PATH);

    run = regsvr32(std::string("/u /s ") + TEST_SERVER_PATH);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "") << "/s silences success";
    QJsonObject expected = before;
    expected.insert("CLSID", QJsonObject()); // NoRemove
    EXPECT_EQ(storeContents(RegistryRoot::ClassesRoot), expected);

    run = regsvr32("/s /nonexistent/libnothing.so");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.output.find("cannot load"), std::string::npos);
    // A module without the entry points: the COM library itself.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&CoInitialize), &info), 0);
    run = regsvr32(std::string("/s ") + info.dli_fname);
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_NE(run.output.find("DllRegisterServer"), std::string::npos);
    EXPECT_EQ(regsvr32("/x file").exitCode, 1);
    EXPECT_EQ(regsvr32("").exitCode, 1);
}

TEST(Regsvr32, PrintsTheFailingResult) {
    TempRegistry registry;
    // A damaged store refuses writes, so registration fails inside the module.
    QFile damaged(QString::fromStdString(platform::registryFilePath(RegistryRoot::ClassesRoot)));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write("not json");
    damaged.close();
    const ToolRun run = regsvr32(TEST_SERVER_PATH);
    EXPECT_EQ(run.exitCode, 5);
    EXPECT_NE(run.output.find("0x80040201"), std::string::npos) << run.output; // SELFREG_E_CLASS
}

TEST(RegisterScript, RegistersEveryBuiltModuleAndUnregistersThem) {
    TempRegistry registry;
    QTemporaryDir bin;
    const std::string dir = bin.path().toStdString();
    // A provider-named copy of the test server beside the tool.
    ASSERT_TRUE(QFile::copy(REGSVR32_PATH, QString::fromStdString(dir + "/korvan-regsvr32")));
    ASSERT_TRUE(QFile::copy(TEST_SERVER_PATH, QString::fromStdString(dir + "/libkorvan_csp_test.so")));
    const std::string script = std::string(SOURCE_ROOT) + "/scripts/register.sh " + dir;

    FILE* pipe = popen((script + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 512> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        output += buffer.data();
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_NE(output.find("registered " + dir + "/libkorvan_csp_test.so"), std::string::npos) << output;
    EXPECT_EQ(defaultValueOf("CLSID\\{5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0003}\\InprocServer32"),
              dir + "/libkorvan_csp_test.so");

    EXPECT_EQ(std::system((script + " /u > /dev/null").c_str()), 0);
    EXPECT_EQ(defaultValueOf("KorvanTest.TestObject\\CLSID"), "<no key>");
    EXPECT_NE(std::system((std::string(SOURCE_ROOT) + "/scripts/register.sh /nonexistent 2>/dev/null").c_str()), 0);
}

} // namespace
