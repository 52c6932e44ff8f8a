// RegisterTypeLib and UnRegisterTypeLib on the registry store, with Windows' keys:
// TypeLib\{LIBID}\M.m (default = help string) holding <lcid>\win32|win64 = the file, FLAGS and
// HELPDIR, and Interface\{IID} for each automation interface, marshalled by the standard
// automation proxy {00020424-0000-0000-C000-000000000046}.
#include <oleauto.h>

#include "platform/DebugOutput.h"
#include "platform/Registry.h"
#include "platform/com/GuidText.h"
#include "platform/com/Utf16.h"

#include <cstdio>
#include <vector>

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr char kAutomationProxy[] = "{00020424-0000-0000-C000-000000000046}";

std::string hexText(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", value);
    return buffer;
}

std::string versionText(WORD major, WORD minor) {
    return hexText(major) + "." + hexText(minor);
}

const char* sysKindText(SYSKIND kind) {
    switch (kind) {
    case SYS_WIN16:
        return "win16";
    case SYS_WIN32:
        return "win32";
    case SYS_MAC:
        return "mac";
    case SYS_WIN64:
        return "win64";
    }
    return nullptr;
}

bool setDefault(const std::string& path, const std::string& value) {
    auto key = RegistryKey::create(RegistryRoot::ClassesRoot, path);
    return key && key->setString("", value);
}

std::string bstrText(BSTR text) {
    return platform::utf8FromUtf16(platform::bstrView(text));
}

// Removes a key left with no subkeys and no values.
void removeIfEmpty(const std::string& path) {
    auto key = RegistryKey::open(RegistryRoot::ClassesRoot, path);
    if (key && key->subkeyNames().empty() && key->valueNames().empty())
        platform::deleteTree(RegistryRoot::ClassesRoot, path);
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (ptlib == nullptr || szFullPath == nullptr)
        return E_INVALIDARG;
    TLIBATTR* attr = nullptr;
    HRESULT result = ptlib->GetLibAttr(&attr);
    if (FAILED(result))
        return result;
    const TLIBATTR lib = *attr;
    ptlib->ReleaseTLibAttr(attr);
    const char* kind = sysKindText(lib.syskind);
    if (kind == nullptr)
        return E_INVALIDARG;

    BSTR libName = nullptr;
    BSTR libHelp = nullptr;
    ptlib->GetDocumentation(-1, &libName, &libHelp, nullptr, nullptr);
    const std::string help = bstrText(libHelp);
    SysFreeString(libName);
    SysFreeString(libHelp);

    const std::string path = platform::utf8FromUtf16(szFullPath);
    std::string helpDir = szHelpDir != nullptr ? platform::utf8FromUtf16(szHelpDir) : std::string();
    if (szHelpDir == nullptr) {
        const size_t slash = path.find_last_of('/');
        helpDir = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    const std::string libId = platform::guidToText(lib.guid);
    const std::string version = versionText(lib.wMajorVerNum, lib.wMinorVerNum);
    const std::string versionKey = "TypeLib\\" + libId + "\\" + version;
    auto flags = RegistryKey::create(RegistryRoot::ClassesRoot, versionKey + "\\FLAGS");
    auto helpDirKey = RegistryKey::create(RegistryRoot::ClassesRoot, versionKey + "\\HELPDIR");
    bool written = setDefault(versionKey, help) &&
                   setDefault(versionKey + "\\" + hexText(lib.lcid) + "\\" + kind, path) && flags &&
                   flags->setString("", std::to_string(lib.wLibFlags)) && helpDirKey && helpDirKey->setString("", helpDir);

    const UINT count = ptlib->GetTypeInfoCount();
    for (UINT i = 0; written && i < count; ++i) {
        ITypeInfo* info = nullptr;
        if (FAILED(ptlib->GetTypeInfo(i, &info)))
            continue;
        TYPEATTR* type = nullptr;
        if (SUCCEEDED(info->GetTypeAttr(&type))) {
            const bool automation =
                (type->typekind == TKIND_DISPATCH || type->typekind == TKIND_INTERFACE) &&
                (type->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE)) != 0;
            if (automation) {
                BSTR name = nullptr;
                info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
                const std::string interfaceKey = "Interface\\" + platform::guidToText(type->guid);
                auto typeLibKey = RegistryKey::create(RegistryRoot::ClassesRoot, interfaceKey + "\\TypeLib");
                written = setDefault(interfaceKey, bstrText(name)) &&
                          setDefault(interfaceKey + "\\ProxyStubClsid", kAutomationProxy) &&
                          setDefault(interfaceKey + "\\ProxyStubClsid32", kAutomationProxy) && typeLibKey &&
                          typeLibKey->setString("", libId) && typeLibKey->setString("Version", version);
                SysFreeString(name);
            }
            info->ReleaseTypeAttr(type);
        }
        info->Release();
    }
    if (!written) {
        platform::debugOutput("RegisterTypeLib: " + platform::registryLastError());
        return TYPE_E_REGISTRYACCESS;
    }
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                                    SYSKIND syskind) {
    const char* kind = sysKindText(syskind);
    if (kind == nullptr)
        return E_INVALIDARG;
    const std::string libId = platform::guidToText(libID);
    const std::string version = versionText(wVerMajor, wVerMinor);
    const std::string libKey = "TypeLib\\" + libId;
    const std::string versionKey = libKey + "\\" + version;
    const std::string lcidKey = versionKey + "\\" + hexText(lcid);
    if (!RegistryKey::open(RegistryRoot::ClassesRoot, lcidKey + "\\" + kind))
        return TYPE_E_REGISTRYACCESS;

    // The interfaces that name this library and version, found in the store itself so that a
    // library whose file is gone can still be unregistered.
    if (auto interfaces = RegistryKey::open(RegistryRoot::ClassesRoot, "Interface")) {
        for (const std::string& iid : interfaces->subkeyNames()) {
            const std::string interfaceKey = "Interface\\" + iid;
            auto typeLib = RegistryKey::open(RegistryRoot::ClassesRoot, interfaceKey + "\\TypeLib");
            if (!typeLib)
                continue;
            const auto owner = typeLib->stringValue("");
            const auto ownerVersion = typeLib->stringValue("Version");
            const auto ownerGuid = owner ? platform::guidFromText(*owner) : std::nullopt;
            if (ownerGuid && *ownerGuid == libID && ownerVersion == version)
                platform::deleteTree(RegistryRoot::ClassesRoot, interfaceKey);
        }
        removeIfEmpty("Interface");
    }

    platform::deleteTree(RegistryRoot::ClassesRoot, lcidKey + "\\" + kind);
    removeIfEmpty(lcidKey);
    // The version key goes when no other locale is registered under it.
    if (auto versionEntry = RegistryKey::open(RegistryRoot::ClassesRoot, versionKey)) {
        bool otherLocale = false;
        for (const std::string& name : versionEntry->subkeyNames())
            otherLocale = otherLocale || (name != "FLAGS" && name != "HELPDIR");
        if (!otherLocale)
            platform::deleteTree(RegistryRoot::ClassesRoot, versionKey);
    }
    removeIfEmpty(libKey);
    removeIfEmpty("TypeLib");
    return S_OK;
}
