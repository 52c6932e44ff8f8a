#include "bridge/worker/Members.h"

#include "bridge/worker/ComRef.h"

#include "platform/AsciiCase.h"
#include "platform/com/Utf16.h"

#include <oleauto.h>

#include <array>
#include <string_view>

namespace bridge::worker {

namespace {

// Dual interfaces may list the inherited methods; they are never a page's to call.
bool inherited(const std::string& name) {
    static constexpr std::array<std::string_view, 7> names = {
        "QueryInterface", "AddRef", "Release", "GetTypeInfoCount", "GetTypeInfo", "GetIDsOfNames", "Invoke"};
    for (std::string_view n : names)
        if (platform::sameAsciiNoCase(n, name))
            return true;
    return false;
}

std::string nameOf(ITypeInfo* info, MEMBERID id) {
    BSTR name = nullptr;
    UINT count = 0;
    if (FAILED(info->GetNames(id, &name, 1, &count)) || count < 1)
        return {};
    std::string text = platform::utf8FromUtf16(platform::bstrView(name));
    SysFreeString(name);
    return text;
}

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info->GetFuncDesc(index, &desc_)))
            desc_ = nullptr;
    }
    ~FuncDesc() {
        if (desc_ != nullptr)
            info_->ReleaseFuncDesc(desc_);
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* get() const { return desc_; }

private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

} // namespace

bool readMembers(IDispatch* dispatch, std::vector<Member>& members, std::vector<std::string>& skipped) {
    members.clear();
    skipped.clear();
    ComRef<ITypeInfo> info;
    if (FAILED(dispatch->GetTypeInfo(0, 0x409, info.put())) || !info)
        return false;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr)) || attr == nullptr)
        return false;
    const UINT count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT index = 0; index < count; ++index) {
        const FuncDesc desc(info.get(), index);
        const FUNCDESC* f = desc.get();
        if (f == nullptr)
            return false;
        if ((f->wFuncFlags & FUNCFLAG_FRESTRICTED) != 0 ||
            (f->invkind != INVOKE_FUNC && f->invkind != INVOKE_PROPERTYGET))
            continue;
        Member member;
        member.id = f->memid;
        member.name = nameOf(info.get(), f->memid);
        if (member.name.empty() || inherited(member.name))
            continue;
        bool callable = true;
        for (SHORT p = 0; p < f->cParams && f->lprgelemdescParam != nullptr; ++p) {
            const ELEMDESC& param = f->lprgelemdescParam[p];
            if ((param.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) != 0)
                continue;
            if (param.tdesc.vt == VT_BSTR)
                member.params.push_back(ParamType::bstr);
            else if (param.tdesc.vt == VT_I4 || param.tdesc.vt == VT_INT)
                member.params.push_back(ParamType::long_);
            else
                callable = false;
        }
        if (callable)
            members.push_back(std::move(member));
        else
            skipped.push_back(member.name);
    }
    return true;
}

const Member* findMember(const std::vector<Member>& members, const std::string& name) {
    for (const Member& member : members)
        if (platform::sameAsciiNoCase(member.name, name))
            return &member;
    return nullptr;
}

const char* paramTypeName(ParamType type) {
    return type == ParamType::bstr ? "BSTR" : "long";
}

} // namespace bridge::worker
