#include "bridge/worker/Conversion.h"

#include "platform/com/Utf16.h"

#include <oleauto.h>

namespace bridge::worker {

namespace {

// The argument as the VARIANT the script engine would have passed.
bool sourceOf(const ipc::Argument& argument, Variant& source, std::string& why) {
    VARIANT& v = source.get();
    switch (argument.kind) {
    case ipc::Argument::Kind::text:
        v.vt = VT_BSTR;
        v.bstrVal = platform::bstrFromUtf8(argument.text);
        if (v.bstrVal == nullptr) {
            v.vt = VT_EMPTY;
            why = "argument too large";
            return false;
        }
        return true;
    case ipc::Argument::Kind::number:
        v.vt = VT_R8;
        v.dblVal = argument.number;
        return true;
    case ipc::Argument::Kind::boolean:
        v.vt = VT_BOOL;
        v.boolVal = argument.boolean ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    case ipc::Argument::Kind::undefined:
        return true; // VT_EMPTY: "" or 0
    case ipc::Argument::Kind::null:
        why = "null is not a valid argument";
        return false;
    case ipc::Argument::Kind::object:
        why = "an object is not a valid argument";
        return false;
    }
    return false;
}

} // namespace

std::optional<Variant> toParam(const ipc::Argument& argument, ParamType type, std::string& why) {
    Variant source;
    if (!sourceOf(argument, source, why))
        return std::nullopt;
    Variant result;
    const VARTYPE target = type == ParamType::bstr ? VT_BSTR : VT_I4;
    // VARIANT_ALPHABOOL: a boolean reads "True" / "False" as the script engine passed it.
    const HRESULT hr = VariantChangeTypeEx(&result.get(), &source.get(), 0x409, VARIANT_ALPHABOOL, target);
    if (FAILED(hr)) {
        why = type == ParamType::bstr ? "the argument cannot be a text" : "the argument is not a number in range";
        return std::nullopt;
    }
    if (target == VT_BSTR && result.get().bstrVal == nullptr) {
        // An empty text is an empty BSTR, never a null one.
        result.get().bstrVal = SysAllocStringLen(u"", 0);
        if (result.get().bstrVal == nullptr) {
            result.get().vt = VT_EMPTY;
            why = "argument too large";
            return std::nullopt;
        }
    }
    return result;
}

nlohmann::json fromResult(const VARIANT& value) {
    if (value.vt == VT_I4)
        return ipc::numberValue(value.lVal);
    if (value.vt == VT_BSTR)
        return ipc::textValue(platform::utf8FromUtf16(platform::bstrView(value.bstrVal)));
    return nullptr;
}

} // namespace bridge::worker
