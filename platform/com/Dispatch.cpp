// DispGetIDsOfNames and DispInvoke over any ITypeInfo that describes vtable members
// (FUNC_PUREVIRTUAL or FUNC_VIRTUAL with oVft), as ours do.
//
// The member is called through its vtable slot with each argument in one machine word. The
// parameter types allowed (BSTR, LONG, VARIANT_BOOL and pointers) are all of the integer class
// on the x86-64 System V and AAPCS64 calling conventions, where such an argument travels in one
// register or one 8-byte stack slot whatever its width, so a call through a pointer to
// HRESULT(void*, uintptr_t...) with the values sign-extended is the call the C++ signature makes.
#include <oleauto.h>

#include "platform/com/Utf16.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "a word is a pointer");

namespace {

using Word = std::uintptr_t;
constexpr size_t kMaxWords = 16;

template <size_t>
using WordFor = Word;

template <size_t... I>
HRESULT callWords(void* function, void* self, const Word* words, std::index_sequence<I...>) {
    using Function = HRESULT(STDMETHODCALLTYPE*)(void*, WordFor<I>...);
    return reinterpret_cast<Function>(function)(self, words[I]...);
}

template <size_t N>
HRESULT callN(void* function, void* self, const Word* words) {
    return callWords(function, self, words, std::make_index_sequence<N>{});
}

template <size_t... N>
constexpr auto makeCallTable(std::index_sequence<N...>) {
    return std::array<HRESULT (*)(void*, void*, const Word*), sizeof...(N)>{&callN<N>...};
}

constexpr auto kCalls = makeCallTable(std::make_index_sequence<kMaxWords + 1>{});

struct FuncDescHolder {
    ITypeInfo* info;
    FUNCDESC* desc = nullptr;
    ~FuncDescHolder() {
        if (desc != nullptr)
            info->ReleaseFuncDesc(desc);
    }
};

// The converted arguments are ours to free, whatever the outcome.
struct Arguments {
    std::vector<VARIANT> values;
    ~Arguments() {
        for (VARIANT& value : values)
            VariantClear(&value);
    }
};

HRESULT findFunction(ITypeInfo* info, DISPID member, FuncDescHolder& found) {
    TYPEATTR* attr = nullptr;
    HRESULT result = info->GetTypeAttr(&attr);
    if (FAILED(result))
        return result;
    const UINT count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc)))
            continue;
        if (desc->memid == member) {
            found.desc = desc;
            return S_OK;
        }
        info->ReleaseFuncDesc(desc);
    }
    return DISP_E_MEMBERNOTFOUND;
}

bool isRetval(const ELEMDESC& elem) {
    return (elem.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) != 0 && elem.tdesc.vt == VT_PTR &&
           elem.tdesc.lptdesc != nullptr;
}

// Unlikely values preset in the out slot: when they are still there after the call, the
// member wrote nothing. Only a LONG has no value outside its range to use.
constexpr LONG kLongGuard = static_cast<LONG>(0x8A5C3E71u);
constexpr VARIANT_BOOL kBoolGuard = 0x5A5A;
constexpr VARTYPE kVariantGuard = 0x7EEF;
const OLECHAR kBstrGuardStorage[1] = {0};
BSTR bstrGuard() {
    return const_cast<BSTR>(kBstrGuardStorage);
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames,
                                                    DISPID* rgdispid) {
    if (ptinfo == nullptr)
        return E_INVALIDARG;
    return ptinfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
}

extern "C" HRESULT STDAPICALLTYPE DispInvoke(void* _this, ITypeInfo* ptinfo, DISPID dispidMember, WORD wFlags,
                                             DISPPARAMS* pparams, VARIANT* pvarResult, EXCEPINFO*, UINT* puArgErr) {
    if (_this == nullptr || ptinfo == nullptr || pparams == nullptr)
        return E_INVALIDARG;
    if (pparams->cArgs > 0 && pparams->rgvarg == nullptr)
        return E_INVALIDARG;
    FuncDescHolder function{ptinfo};
    HRESULT result = findFunction(ptinfo, dispidMember, function);
    if (FAILED(result))
        return result;
    const FUNCDESC& desc = *function.desc;
    if (desc.funckind != FUNC_PUREVIRTUAL && desc.funckind != FUNC_VIRTUAL)
        return DISP_E_MEMBERNOTFOUND;

    // A property get answers DISPATCH_PROPERTYGET, alone or with DISPATCH_METHOD as script
    // engines call it; a method answers DISPATCH_METHOD.
    const bool accepted = desc.invkind == INVOKE_PROPERTYGET ? (wFlags & DISPATCH_PROPERTYGET) != 0
                          : desc.invkind == INVOKE_FUNC      ? (wFlags & DISPATCH_METHOD) != 0
                                                             : false;
    if (!accepted || (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0)
        return DISP_E_MEMBERNOTFOUND;
    if (pparams->cNamedArgs > 0)
        return DISP_E_NONAMEDARGS;

    const UINT total = static_cast<UINT>(desc.cParams);
    const bool hasRetval = total > 0 && isRetval(desc.lprgelemdescParam[total - 1]);
    const UINT inputs = total - (hasRetval ? 1 : 0);
    if (pparams->cArgs != inputs)
        return DISP_E_BADPARAMCOUNT;
    if (total > kMaxWords)
        return DISP_E_BADPARAMCOUNT;

    Arguments arguments;
    arguments.values.resize(inputs);
    for (VARIANT& value : arguments.values)
        VariantInit(&value);
    std::array<Word, kMaxWords> words{};
    for (UINT i = 0; i < inputs; ++i) {
        // rgvarg holds the arguments last first.
        const UINT slot = pparams->cArgs - 1 - i;
        const VARTYPE wanted = desc.lprgelemdescParam[i].tdesc.vt;
        VARIANT direct;
        VariantInit(&direct);
        HRESULT converted = VariantCopyInd(&direct, &pparams->rgvarg[slot]);
        if (SUCCEEDED(converted))
            converted = VariantChangeType(&arguments.values[i], &direct, 0, wanted);
        VariantClear(&direct);
        if (FAILED(converted)) {
            if (puArgErr != nullptr)
                *puArgErr = slot;
            return converted == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
        }
        const VARIANT& value = arguments.values[i];
        switch (wanted) {
        case VT_BSTR:
            words[i] = reinterpret_cast<Word>(value.bstrVal);
            break;
        case VT_I4:
            words[i] = static_cast<Word>(static_cast<std::intptr_t>(value.lVal));
            break;
        case VT_BOOL:
            words[i] = static_cast<Word>(static_cast<std::intptr_t>(value.boolVal));
            break;
        default:
            return DISP_E_BADVARTYPE;
        }
    }

    BSTR outBstr = bstrGuard();
    LONG outLong = kLongGuard;
    VARIANT_BOOL outBool = kBoolGuard;
    VARIANT outVariant;
    VariantInit(&outVariant);
    outVariant.vt = kVariantGuard;
    VARTYPE outType = VT_EMPTY;
    if (hasRetval) {
        outType = desc.lprgelemdescParam[total - 1].tdesc.lptdesc->vt;
        void* out = outType == VT_BSTR      ? static_cast<void*>(&outBstr)
                    : outType == VT_I4      ? static_cast<void*>(&outLong)
                    : outType == VT_BOOL    ? static_cast<void*>(&outBool)
                    : outType == VT_VARIANT ? static_cast<void*>(&outVariant)
                                            : nullptr;
        if (out == nullptr)
            return DISP_E_BADVARTYPE;
        words[inputs] = reinterpret_cast<Word>(out);
    }

    if (pvarResult != nullptr)
        VariantInit(pvarResult);
    void** vtable = *static_cast<void***>(_this);
    void* slotFunction = vtable[desc.oVft / static_cast<SHORT>(sizeof(void*))];
    result = kCalls[total](slotFunction, _this, words.data());

    // Whatever was written is handed on only for a success; a value left with a failure is freed.
    VARIANT produced;
    VariantInit(&produced);
    switch (outType) {
    case VT_BSTR:
        if (outBstr != bstrGuard()) {
            produced.vt = VT_BSTR;
            produced.bstrVal = outBstr;
        }
        break;
    case VT_I4:
        if (outLong != kLongGuard) {
            produced.vt = VT_I4;
            produced.lVal = outLong;
        }
        break;
    case VT_BOOL:
        if (outBool != kBoolGuard) {
            produced.vt = VT_BOOL;
            produced.boolVal = outBool;
        }
        break;
    case VT_VARIANT:
        if (outVariant.vt != kVariantGuard)
            produced = outVariant;
        break;
    default:
        break;
    }
    if (pvarResult != nullptr && SUCCEEDED(result))
        *pvarResult = produced;
    else
        VariantClear(&produced);
    return result;
}

extern "C" HRESULT STDAPICALLTYPE CreateStdDispatch(IUnknown*, void*, ITypeInfo*, IUnknown** ppunkStdDisp) {
    if (ppunkStdDisp != nullptr)
        *ppunkStdDisp = nullptr;
    return E_NOTIMPL;
}
