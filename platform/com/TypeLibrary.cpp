// ITypeLib/ITypeInfo objects over the parsed description. They are immutable views, so the
// only shared state is the reference count.
#include "platform/com/TypeLibrary.h"

#include "platform/DebugOutput.h"
#include "platform/com/ModuleResources.h"
#include "platform/com/Utf16.h"

#include <atomic>
#include <new>

namespace platform::com {

namespace {

// Answers QueryInterface on our own objects only, so libraryOf can tell them from foreign ones.
const IID kDescriptionHolderIid = {0x4B52564E, 0x5444, 0x4553, {0x43, 0x52, 0x49, 0x50, 0x54, 0x49, 0x4F, 0x4E}};

struct DescriptionHolder {
    std::shared_ptr<const LibraryInfo> library;
};

// QueryInterface of our objects: IUnknown, their own interface, and the description holder.
template <typename Interface>
HRESULT queryOwnObject(Interface* self, REFIID own, DescriptionHolder& holder, REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (riid == kDescriptionHolderIid) {
        *ppv = &holder;
        self->AddRef();
        return S_OK;
    }
    if (riid == IID_IUnknown || riid == own) {
        *ppv = self;
        self->AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

constexpr WORD kDispatchSlots = 7; // IUnknown's 3 and IDispatch's 4

BSTR bstrOf(const std::string& text) {
    return bstrFromUtf8(text);
}

VARTYPE vartypeOf(ValueType type) {
    switch (type) {
    case ValueType::Bstr:
        return VT_BSTR;
    case ValueType::Long:
        return VT_I4;
    case ValueType::VariantBool:
        return VT_BOOL;
    case ValueType::Variant:
        return VT_VARIANT;
    }
    return VT_EMPTY;
}

class TypeLib;

class TypeInfo final : public ITypeInfo {
public:
    TypeInfo(TypeLib* owner, std::shared_ptr<const LibraryInfo> library, size_t typeIndex);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return queryOwnObject<ITypeInfo>(this, IID_ITypeInfo, holder_, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override {
        if (ppTypeAttr == nullptr)
            return E_INVALIDARG;
        auto* attr = new (std::nothrow) TYPEATTR{};
        if (attr == nullptr)
            return E_OUTOFMEMORY;
        const LibraryInfo& library = *holder_.library;
        attr->lcid = library.lcid;
        attr->memidConstructor = MEMBERID_NIL;
        attr->memidDestructor = MEMBERID_NIL;
        attr->cbAlignment = sizeof(void*);
        attr->wMajorVerNum = library.majorVersion;
        attr->wMinorVerNum = library.minorVersion;
        if (const InterfaceInfo* item = interface()) {
            attr->guid = item->iid;
            attr->typekind = TKIND_DISPATCH;
            attr->cFuncs = static_cast<WORD>(item->members.size());
            attr->cImplTypes = 1;
            attr->cbSizeVft = static_cast<WORD>((kDispatchSlots + item->members.size()) * sizeof(void*));
            attr->cbSizeInstance = sizeof(void*);
            attr->wTypeFlags = static_cast<WORD>(TYPEFLAG_FDISPATCHABLE | (item->dual ? TYPEFLAG_FDUAL : 0) |
                                                 (item->oleAutomation ? TYPEFLAG_FOLEAUTOMATION : 0) |
                                                 (item->hidden ? TYPEFLAG_FHIDDEN : 0) |
                                                 (item->nonExtensible ? TYPEFLAG_FNONEXTENSIBLE : 0));
        } else {
            const CoclassInfo& coclass = *this->coclass();
            attr->guid = coclass.clsid;
            attr->typekind = TKIND_COCLASS;
            attr->cImplTypes = static_cast<WORD>(coclass.interfaces.size());
            attr->cbSizeInstance = sizeof(void*);
            attr->wTypeFlags = coclass.creatable ? TYPEFLAG_FCANCREATE : 0;
        }
        *ppTypeAttr = attr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override {
        if (ppTComp != nullptr)
            *ppTComp = nullptr;
        return E_NOTIMPL;
    }

    // One allocation holds the FUNCDESC, its parameters and the pointed-to types of the
    // [out, retval] parameter, so ReleaseFuncDesc frees it in one go.
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
        if (ppFuncDesc == nullptr)
            return E_INVALIDARG;
        *ppFuncDesc = nullptr;
        const InterfaceInfo* item = interface();
        if (item == nullptr || index >= item->members.size())
            return TYPE_E_ELEMENTNOTFOUND;
        const MemberInfo& member = item->members[index];
        const size_t count = member.params.size();
        const size_t bytes = sizeof(FUNCDESC) + count * (sizeof(ELEMDESC) + sizeof(TYPEDESC));
        auto* block = static_cast<unsigned char*>(::operator new(bytes, std::nothrow));
        if (block == nullptr)
            return E_OUTOFMEMORY;
        auto* desc = new (block) FUNCDESC{};
        auto* params = reinterpret_cast<ELEMDESC*>(block + sizeof(FUNCDESC));
        auto* pointees = reinterpret_cast<TYPEDESC*>(block + sizeof(FUNCDESC) + count * sizeof(ELEMDESC));
        for (size_t i = 0; i < count; ++i) {
            const ParamInfo& param = member.params[i];
            ELEMDESC* elem = new (&params[i]) ELEMDESC{};
            TYPEDESC* pointee = new (&pointees[i]) TYPEDESC{};
            if (param.retval) {
                pointee->vt = vartypeOf(param.type);
                elem->tdesc.vt = VT_PTR;
                elem->tdesc.lptdesc = pointee;
                elem->paramdesc.wParamFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
            } else {
                elem->tdesc.vt = vartypeOf(param.type);
                elem->paramdesc.wParamFlags = param.in ? PARAMFLAG_FIN : PARAMFLAG_NONE;
            }
        }
        desc->memid = member.dispid;
        desc->lprgelemdescParam = count > 0 ? params : nullptr;
        desc->funckind = FUNC_PUREVIRTUAL;
        desc->invkind = member.kind == MemberKind::PropertyGet ? INVOKE_PROPERTYGET : INVOKE_FUNC;
        desc->callconv = CC_STDCALL;
        desc->cParams = static_cast<SHORT>(count);
        desc->oVft = static_cast<SHORT>((kDispatchSlots + index) * sizeof(void*));
        desc->elemdescFunc.tdesc.vt = VT_HRESULT;
        desc->wFuncFlags = member.hidden ? FUNCFLAG_FHIDDEN : 0;
        *ppFuncDesc = desc;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** ppVarDesc) override {
        if (ppVarDesc != nullptr)
            *ppVarDesc = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }

    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override {
        if (rgBstrNames == nullptr || pcNames == nullptr)
            return E_INVALIDARG;
        *pcNames = 0;
        const MemberInfo* member = findMember(memid);
        if (member == nullptr)
            return TYPE_E_ELEMENTNOTFOUND;
        std::vector<const std::string*> names{&member->name};
        for (const ParamInfo& param : member->params)
            names.push_back(&param.name);
        UINT written = 0;
        for (; written < cMaxNames && written < names.size(); ++written) {
            rgBstrNames[written] = bstrOf(*names[written]);
            if (rgBstrNames[written] == nullptr) {
                for (UINT i = 0; i < written; ++i)
                    SysFreeString(rgBstrNames[i]);
                return E_OUTOFMEMORY;
            }
        }
        *pcNames = written;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override {
        if (pRefType == nullptr)
            return E_INVALIDARG;
        const CoclassInfo* item = coclass();
        if (item == nullptr || index >= item->interfaces.size())
            return TYPE_E_ELEMENTNOTFOUND;
        // The reference is the interface's index in the library.
        const LibraryInfo& library = *holder_.library;
        for (size_t i = 0; i < library.types.size(); ++i) {
            const auto& type = library.types[i];
            if (type.isInterface && library.interfaces[type.index].name == item->interfaces[index]) {
                *pRefType = static_cast<HREFTYPE>(i);
                return S_OK;
            }
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override {
        if (pImplTypeFlags == nullptr)
            return E_INVALIDARG;
        const CoclassInfo* item = coclass();
        if (item == nullptr || index >= item->interfaces.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *pImplTypeFlags = index == item->defaultInterface ? IMPLTYPEFLAG_FDEFAULT : 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        if (rgszNames == nullptr || pMemId == nullptr || cNames == 0)
            return E_INVALIDARG;
        for (UINT i = 0; i < cNames; ++i)
            pMemId[i] = MEMBERID_NIL;
        if (rgszNames[0] == nullptr)
            return DISP_E_UNKNOWNNAME;
        const std::string wanted = utf8FromUtf16(rgszNames[0]);
        const MemberInfo* member = nullptr;
        if (const InterfaceInfo* item = interface()) {
            for (const MemberInfo& candidate : item->members) {
                if (sameNameNoCase(candidate.name, wanted))
                    member = &candidate;
            }
        }
        if (member == nullptr)
            return DISP_E_UNKNOWNNAME;
        pMemId[0] = member->dispid;
        HRESULT result = S_OK;
        for (UINT i = 1; i < cNames; ++i) {
            const std::string name = rgszNames[i] != nullptr ? utf8FromUtf16(rgszNames[i]) : std::string();
            bool found = false;
            for (size_t p = 0; p < member->params.size() && !found; ++p) {
                if (sameNameNoCase(member->params[p].name, name)) {
                    pMemId[i] = static_cast<MEMBERID>(p);
                    found = true;
                }
            }
            if (!found)
                result = DISP_E_UNKNOWNNAME;
        }
        return result;
    }

    HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                                     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return DispInvoke(pvInstance, this, memid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    }

    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        const std::string* name = nullptr;
        const std::string* help = nullptr;
        if (memid == MEMBERID_NIL) {
            if (const InterfaceInfo* item = interface()) {
                name = &item->name;
                help = &item->helpString;
            } else {
                name = &coclass()->name;
                help = &coclass()->helpString;
            }
        } else if (const MemberInfo* member = findMember(memid)) {
            name = &member->name;
            help = &member->helpString;
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        return writeDocumentation(*name, *help, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
    }

    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) override {
        if (ppv != nullptr)
            *ppv = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* ppvObj) override {
        if (ppvObj != nullptr)
            *ppvObj = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* pBstrMops) override {
        if (pBstrMops != nullptr)
            *pBstrMops = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override {
        // Everything in the block is trivially destructible.
        ::operator delete(static_cast<void*>(pFuncDesc));
    }
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

    static HRESULT writeDocumentation(const std::string& name, const std::string& help, BSTR* pBstrName,
                                      BSTR* pBstrDocString, DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
        if (pBstrName != nullptr)
            *pBstrName = bstrOf(name);
        if (pBstrDocString != nullptr)
            *pBstrDocString = bstrOf(help);
        if (pdwHelpContext != nullptr)
            *pdwHelpContext = 0;
        if (pBstrHelpFile != nullptr)
            *pBstrHelpFile = nullptr;
        if ((pBstrName != nullptr && *pBstrName == nullptr) || (pBstrDocString != nullptr && *pBstrDocString == nullptr)) {
            if (pBstrName != nullptr) {
                SysFreeString(*pBstrName);
                *pBstrName = nullptr;
            }
            if (pBstrDocString != nullptr) {
                SysFreeString(*pBstrDocString);
                *pBstrDocString = nullptr;
            }
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    ~TypeInfo();

    const InterfaceInfo* interface() const {
        const auto& type = holder_.library->types[typeIndex_];
        return type.isInterface ? &holder_.library->interfaces[type.index] : nullptr;
    }
    const CoclassInfo* coclass() const {
        const auto& type = holder_.library->types[typeIndex_];
        return type.isInterface ? nullptr : &holder_.library->coclasses[type.index];
    }
    const MemberInfo* findMember(MEMBERID memid) const {
        if (const InterfaceInfo* item = interface()) {
            for (const MemberInfo& member : item->members) {
                if (member.dispid == memid)
                    return &member;
            }
        }
        return nullptr;
    }

    std::atomic<ULONG> references_{1};
    TypeLib* owner_;
    DescriptionHolder holder_;
    size_t typeIndex_;
};

class TypeLib final : public ITypeLib {
public:
    explicit TypeLib(std::shared_ptr<const LibraryInfo> library) : holder_{std::move(library)} {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return queryOwnObject<ITypeLib>(this, IID_ITypeLib, holder_, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

    UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return static_cast<UINT>(holder_.library->types.size()); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr)
            return E_INVALIDARG;
        *ppTInfo = nullptr;
        if (index >= holder_.library->types.size())
            return TYPE_E_ELEMENTNOTFOUND;
        auto* info = new (std::nothrow) TypeInfo(this, holder_.library, index);
        if (info == nullptr)
            return E_OUTOFMEMORY;
        *ppTInfo = info;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
        if (pTKind == nullptr)
            return E_INVALIDARG;
        if (index >= holder_.library->types.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *pTKind = holder_.library->types[index].isInterface ? TKIND_DISPATCH : TKIND_COCLASS;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
        if (ppTinfo == nullptr)
            return E_INVALIDARG;
        *ppTinfo = nullptr;
        const LibraryInfo& library = *holder_.library;
        for (size_t i = 0; i < library.types.size(); ++i) {
            const auto& type = library.types[i];
            const GUID& candidate =
                type.isInterface ? library.interfaces[type.index].iid : library.coclasses[type.index].clsid;
            if (candidate == guid)
                return GetTypeInfo(static_cast<UINT>(i), ppTinfo);
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override {
        if (ppTLibAttr == nullptr)
            return E_INVALIDARG;
        auto* attr = new (std::nothrow) TLIBATTR{};
        if (attr == nullptr)
            return E_OUTOFMEMORY;
        const LibraryInfo& library = *holder_.library;
        attr->guid = library.libid;
        attr->lcid = library.lcid;
        attr->syskind = library.systemKind == SystemKind::Win64 ? SYS_WIN64 : SYS_WIN32;
        attr->wMajorVerNum = library.majorVersion;
        attr->wMinorVerNum = library.minorVersion;
        attr->wLibFlags = 0;
        *ppTLibAttr = attr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override {
        if (ppTComp != nullptr)
            *ppTComp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        const LibraryInfo& library = *holder_.library;
        if (index == -1)
            return TypeInfo::writeDocumentation(library.name, library.helpString, pBstrName, pBstrDocString,
                                                pdwHelpContext, pBstrHelpFile);
        if (index < 0 || static_cast<size_t>(index) >= library.types.size())
            return TYPE_E_ELEMENTNOTFOUND;
        const auto& type = library.types[static_cast<size_t>(index)];
        const std::string& name = type.isInterface ? library.interfaces[type.index].name : library.coclasses[type.index].name;
        const std::string& help =
            type.isInterface ? library.interfaces[type.index].helpString : library.coclasses[type.index].helpString;
        return TypeInfo::writeDocumentation(name, help, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
    }
    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL* pfName) override {
        if (pfName != nullptr)
            *pfName = FALSE;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT* pcFound) override {
        if (pcFound != nullptr)
            *pcFound = 0;
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

private:
    ~TypeLib() = default;

    std::atomic<ULONG> references_{1};
    DescriptionHolder holder_;
};

TypeInfo::TypeInfo(TypeLib* owner, std::shared_ptr<const LibraryInfo> library, size_t typeIndex)
    : owner_(owner), holder_{std::move(library)}, typeIndex_(typeIndex) {
    owner_->AddRef();
}

TypeInfo::~TypeInfo() {
    owner_->Release();
}

ULONG STDMETHODCALLTYPE TypeInfo::Release() {
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
    if (ppTInfo == nullptr)
        return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (hRefType >= holder_.library->types.size())
        return TYPE_E_ELEMENTNOTFOUND;
    return owner_->GetTypeInfo(hRefType, ppTInfo);
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    if (ppTLib != nullptr) {
        *ppTLib = owner_;
        owner_->AddRef();
    }
    if (pIndex != nullptr)
        *pIndex = static_cast<UINT>(typeIndex_);
    return S_OK;
}

HRESULT typeLibFromDescription(std::string_view text, const std::string& where, ITypeLib** pptlib) {
    std::string error;
    auto library = parseTypeDescription(text, &error);
    if (!library) {
        debugOutput("type library of " + where + ": " + error);
        return TYPE_E_CANTLOADLIBRARY;
    }
    return createTypeLib(std::make_shared<const LibraryInfo>(std::move(*library)), pptlib);
}

} // namespace

HRESULT createTypeLib(std::shared_ptr<const LibraryInfo> library, ITypeLib** typeLib) {
    if (typeLib == nullptr || library == nullptr)
        return E_INVALIDARG;
    *typeLib = new (std::nothrow) TypeLib(std::move(library));
    return *typeLib != nullptr ? S_OK : E_OUTOFMEMORY;
}

std::shared_ptr<const LibraryInfo> libraryOf(IUnknown* typeLibOrInfo) {
    if (typeLibOrInfo == nullptr)
        return nullptr;
    void* holder = nullptr;
    if (FAILED(typeLibOrInfo->QueryInterface(kDescriptionHolderIid, &holder)) || holder == nullptr)
        return nullptr;
    auto library = static_cast<DescriptionHolder*>(holder)->library;
    typeLibOrInfo->Release();
    return library;
}

} // namespace platform::com

using namespace platform::com;

extern "C" HRESULT STDAPICALLTYPE LoadModuleTypeLib(HMODULE module, ITypeLib** pptlib) {
    if (pptlib == nullptr)
        return E_INVALIDARG;
    *pptlib = nullptr;
    const auto data = moduleResource(module, "TYPELIB", 1);
    if (!data)
        return TYPE_E_CANTLOADLIBRARY;
    return typeLibFromDescription(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()),
                                  modulePath(module), pptlib);
}

extern "C" HRESULT STDAPICALLTYPE GetModuleTypeInfo(HMODULE module, REFGUID guid, ITypeInfo** ppTInfo) {
    if (ppTInfo == nullptr)
        return E_INVALIDARG;
    *ppTInfo = nullptr;
    ITypeLib* typeLib = nullptr;
    const HRESULT loaded = LoadModuleTypeLib(module, &typeLib);
    if (FAILED(loaded))
        return loaded;
    const HRESULT found = typeLib->GetTypeInfoOfGuid(guid, ppTInfo);
    typeLib->Release();
    return found;
}

extern "C" HRESULT STDAPICALLTYPE LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
    if (szFile == nullptr || pptlib == nullptr)
        return E_INVALIDARG;
    *pptlib = nullptr;
    const std::string path = platform::utf8FromUtf16(szFile);
    std::string error;
    const auto data = readFileResource(path, "TYPELIB", 1, &error);
    if (!data) {
        platform::debugOutput("LoadTypeLib: " + error);
        return TYPE_E_CANTLOADLIBRARY;
    }
    const HRESULT created =
        typeLibFromDescription(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), path, pptlib);
    if (FAILED(created) || regkind != REGKIND_REGISTER)
        return created;
    const HRESULT registered = RegisterTypeLib(*pptlib, szFile, nullptr);
    if (FAILED(registered)) {
        (*pptlib)->Release();
        *pptlib = nullptr;
    }
    return registered;
}

extern "C" HRESULT STDAPICALLTYPE LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib);
}
