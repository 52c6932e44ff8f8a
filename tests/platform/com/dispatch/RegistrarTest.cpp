// The registrar and type-library registration, round trips over a private store.
#include "TestSupport.h"

#include "platform/com/Registrar.h"
#include "platform/com/TypeLibrary.h"

namespace {

using namespace platform::com;
using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kScript = R"(HKCR
{
    Demo.Thing.1 = s 'Thing Class'
    {
        CLSID = s '{6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003}'
    }
    NoRemove CLSID
    {
        ForceRemove {6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003} = s 'It''s 100%% a class'
        {
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
            ForceRemove Programmable
            val Count = d '0x10'
        }
    }
    NoRemove Shared
    {
        Mine = s 'added'
    }
}
HKLM
{
    NoRemove SOFTWARE
    {
        Demo
        {
            val Level = d 3
        }
    }
}
)";

const RegistrarVariables kVariables{{"MODULE", "/opt/demo/libdemo.so"}};

TEST(Registrar, RegisterThenUnregisterRestoresTheStoreButNoRemoveKeys) {
    TempRegistry registry;
    // Keys of others, some under the script's NoRemove keys and in a key the script also names.
    RegistryKey::create(RegistryRoot::ClassesRoot, "Other\\Key")->setString("", "theirs");
    RegistryKey::create(RegistryRoot::ClassesRoot, "Shared\\Theirs")->setDword("Kept", 1);
    RegistryKey::create(RegistryRoot::LocalMachine, "SOFTWARE\\Demo")->setString("Owner", "someone");
    const QJsonObject classesBefore = storeContents(RegistryRoot::ClassesRoot);
    const QJsonObject machineBefore = storeContents(RegistryRoot::LocalMachine);

    std::string error;
    ASSERT_EQ(runRegistrationScript(kScript, kVariables, true, &error), S_OK) << error;
    const std::string clsidKey = "CLSID\\{6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003}";
    EXPECT_EQ(defaultValueOf(clsidKey), "It's 100% a class");
    EXPECT_EQ(defaultValueOf(clsidKey + "\\InprocServer32"), "/opt/demo/libdemo.so");
    EXPECT_EQ(RegistryKey::open(RegistryRoot::ClassesRoot, clsidKey + "\\InprocServer32")->stringValue("ThreadingModel"),
              "Apartment");
    EXPECT_EQ(RegistryKey::open(RegistryRoot::ClassesRoot, clsidKey)->dwordValue("Count"), 16u);
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::ClassesRoot, clsidKey + "\\Programmable"));
    EXPECT_EQ(RegistryKey::open(RegistryRoot::LocalMachine, "SOFTWARE\\Demo")->dwordValue("Level"), 3u);

    // Registering twice is the same as once; ForceRemove clears what was under the key.
    RegistryKey::create(RegistryRoot::ClassesRoot, clsidKey + "\\Stale");
    ASSERT_EQ(runRegistrationScript(kScript, kVariables, true, &error), S_OK) << error;
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, clsidKey + "\\Stale"));

    // Something added later below a ForceRemove key goes with it.
    RegistryKey::create(RegistryRoot::ClassesRoot, clsidKey + "\\Added\\Deeper");
    ASSERT_EQ(runRegistrationScript(kScript, kVariables, false, &error), S_OK) << error;

    QJsonObject expected = classesBefore;
    expected.insert("CLSID", QJsonObject()); // NoRemove, created by the script
    EXPECT_EQ(storeContents(RegistryRoot::ClassesRoot), expected);
    EXPECT_EQ(storeContents(RegistryRoot::LocalMachine), machineBefore)
        << "SOFTWARE\\Demo keeps the value of its owner and so stays";

    // Unregistering what is not there is no error and changes nothing.
    ASSERT_EQ(runRegistrationScript(kScript, kVariables, false, &error), S_OK) << error;
    EXPECT_EQ(storeContents(RegistryRoot::ClassesRoot), expected);
}

TEST(Registrar, DeleteRemovesAKeyWhenRegisteringOnly) {
    TempRegistry registry;
    RegistryKey::create(RegistryRoot::ClassesRoot, "Old\\Inner")->setString("", "stale");
    std::string error;
    ASSERT_EQ(runRegistrationScript("HKCR { Delete Old }", kVariables, true, &error), S_OK) << error;
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, "Old"));
    RegistryKey::create(RegistryRoot::ClassesRoot, "Old");
    ASSERT_EQ(runRegistrationScript("HKCR { Delete Old }", kVariables, false, &error), S_OK) << error;
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::ClassesRoot, "Old"));
}

TEST(Registrar, MalformedScriptsChangeNothing) {
    TempRegistry registry;
    const char* scripts[][2] = {
        {"HKCR { A = s 'x' { B = s 'y' }", "expected '}'"},
        {"HKXX { }", "line 1: expected a root key"},
        {"HKCR {\n A = s 'unterminated }", "line 2: unterminated quoted text"},
        {"HKCR {\n A = s '%NOPE%' }", "line 2: unknown variable %NOPE%"},
        {"HKCR { A = b '00' }", "value type 'b' is not supported"},
        {"HKCR { A { val N = d 'many' } }", "'many' is not a DWORD"},
        {"HKCR { A { val N = d '4294967296' } }", "is not a DWORD"},
        {"HKCR { val N = s 'x' }", "a value needs a key"},
        {"HKCR { 'A\\B' }", "holds a backslash"},
        {"HKCR { A = s 'x' } }", "expected a root key (HKCR, HKLM or HKCU), found '}'"},
    };
    for (const auto& [script, expected] : scripts) {
        std::string error;
        EXPECT_EQ(runRegistrationScript(script, kVariables, true, &error), E_INVALIDARG) << script;
        EXPECT_NE(error.find(expected), std::string::npos) << script << ": got \"" << error << "\"";
        EXPECT_TRUE(storeContents(RegistryRoot::ClassesRoot).isEmpty()) << script << " wrote before failing";
    }
}

constexpr const char* kTypeDescription = R"(
[uuid(6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E001), version(1.0), lcid(0x409), syskind(win64),
 helpstring("Demo 1.0 Type Library")]
library DEMOLib
{
    [object, uuid(6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E002), dual, oleautomation, helpstring("IDemo Interface")]
    interface IDemo : IDispatch
    {
        [propget, id(1)] HRESULT Value([out, retval] long* pVal);
    };
    [uuid(6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003)] coclass Demo { [default] interface IDemo; };
};
)";

TEST(TypeLibRegistration, WritesWindowsKeysAndRemovesThemAgain) {
    TempRegistry registry;
    RegistryKey::create(RegistryRoot::ClassesRoot, "Interface\\{00000000-0000-0000-0000-00000000BEEF}")
        ->setString("", "IOther");
    const QJsonObject before = storeContents(RegistryRoot::ClassesRoot);

    std::string error;
    auto parsed = parseTypeDescription(kTypeDescription, &error);
    ASSERT_TRUE(parsed) << error;
    ITypeLib* library = nullptr;
    ASSERT_EQ(createTypeLib(std::make_shared<const LibraryInfo>(*parsed), &library), S_OK);
    ASSERT_EQ(RegisterTypeLib(library, u"/opt/demo/libdemo.so", nullptr), S_OK);

    const std::string version = "TypeLib\\{6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E001}\\1.0";
    EXPECT_EQ(defaultValueOf(version), "Demo 1.0 Type Library");
    EXPECT_EQ(defaultValueOf(version + "\\409\\win64"), "/opt/demo/libdemo.so");
    EXPECT_EQ(defaultValueOf(version + "\\FLAGS"), "0");
    EXPECT_EQ(defaultValueOf(version + "\\HELPDIR"), "/opt/demo");
    const std::string interfaceKey = "Interface\\{6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E002}";
    EXPECT_EQ(defaultValueOf(interfaceKey), "IDemo");
    EXPECT_EQ(defaultValueOf(interfaceKey + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(defaultValueOf(interfaceKey + "\\TypeLib"), "{6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E001}");
    EXPECT_EQ(RegistryKey::open(RegistryRoot::ClassesRoot, interfaceKey + "\\TypeLib")->stringValue("Version"), "1.0");

    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(UnRegisterTypeLib(attr->guid, 1, 0, 0x409, SYS_WIN32), TYPE_E_REGISTRYACCESS) << "another system kind";
    EXPECT_EQ(UnRegisterTypeLib(attr->guid, 1, 0, 0x409, SYS_WIN64), S_OK);
    EXPECT_EQ(storeContents(RegistryRoot::ClassesRoot), before);
    EXPECT_EQ(UnRegisterTypeLib(attr->guid, 1, 0, 0x409, SYS_WIN64), TYPE_E_REGISTRYACCESS) << "nothing left";
    library->ReleaseTLibAttr(attr);
    library->Release();
}

TEST(TypeLibrary, DescribesMembersAsTheirVtableSlots) {
    std::string error;
    auto parsed = parseTypeDescription(kTypeDescription, &error);
    ASSERT_TRUE(parsed) << error;
    ITypeLib* library = nullptr;
    ASSERT_EQ(createTypeLib(std::make_shared<const LibraryInfo>(*parsed), &library), S_OK);
    EXPECT_EQ(library->GetTypeInfoCount(), 2u);
    TYPEKIND kind{};
    EXPECT_EQ(library->GetTypeInfoType(1, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(library->GetTypeInfo(2, &info), TYPE_E_ELEMENTNOTFOUND);
    ASSERT_EQ(library->GetTypeInfo(0, &info), S_OK);

    FUNCDESC* desc = nullptr;
    ASSERT_EQ(info->GetFuncDesc(0, &desc), S_OK);
    EXPECT_EQ(desc->memid, 1);
    EXPECT_EQ(desc->invkind, INVOKE_PROPERTYGET);
    EXPECT_EQ(desc->oVft, static_cast<SHORT>(7 * sizeof(void*))) << "after IUnknown and IDispatch";
    EXPECT_EQ(desc->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(desc->cParams, 1);
    EXPECT_EQ(desc->lprgelemdescParam[0].tdesc.vt, VT_PTR);
    EXPECT_EQ(desc->lprgelemdescParam[0].tdesc.lptdesc->vt, VT_I4);
    EXPECT_EQ(desc->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    info->ReleaseFuncDesc(desc);
    EXPECT_EQ(info->GetFuncDesc(1, &desc), TYPE_E_ELEMENTNOTFOUND);

    BSTR names[3] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(1, names, 3, &count), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::u16string(names[0]), u"Value");
    EXPECT_EQ(std::u16string(names[1]), u"pVal");
    SysFreeString(names[0]);
    SysFreeString(names[1]);

    ITypeLib* containing = nullptr;
    UINT index = 9;
    ASSERT_EQ(info->GetContainingTypeLib(&containing, &index), S_OK);
    EXPECT_EQ(containing, library);
    EXPECT_EQ(index, 0u);
    containing->Release();
    info->Release();

    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(library->GetTypeInfo(1, &coclass), S_OK);
    HREFTYPE ref = 0;
    INT flags = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    EXPECT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, &info), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    info->ReleaseTypeAttr(attr);
    info->Release();
    coclass->Release();
    library->Release();
}

} // namespace
