// VARIANT handling and coercion with Windows' rules for the United States English locale
// (0x409), whatever LCID the caller passes: "." is the decimal point and "," the thousands
// separator, booleans read and print as "True" and "False".
//
// Converted between: VT_EMPTY, VT_NULL, VT_I4, VT_R8, VT_BOOL and VT_BSTR, and from the other
// integer types and VT_R4 as sources. Held, copied and cleared as well: VT_ERROR, VT_UNKNOWN,
// VT_DISPATCH, the other scalar types and the VT_BYREF forms. Arrays, records and VT_VARIANT
// by value are refused with DISP_E_BADVARTYPE.
#include <oleauto.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace {

bool isScalar(VARTYPE base) {
    switch (base) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}

// Whether a VARIANT of this type can be held, copied and cleared here.
bool isHeldType(VARTYPE vt) {
    if ((vt & (VT_ARRAY | VT_VECTOR | VT_RESERVED)) != 0)
        return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((vt & VT_BYREF) != 0)
        return isScalar(base) || base == VT_BSTR || base == VT_UNKNOWN || base == VT_DISPATCH ||
               base == VT_VARIANT;
    return base == VT_EMPTY || base == VT_NULL || isScalar(base) || base == VT_BSTR ||
           base == VT_UNKNOWN || base == VT_DISPATCH;
}

// The size of the value a VT_BYREF VARIANT of a scalar, BSTR or interface type points at.
size_t referencedSize(VARTYPE base) {
    switch (base) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
        return 4;
    default: // 8-byte numbers, CY, DATE, BSTR and interface pointers
        return 8;
    }
}

VARIANT emptyVariant() {
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    v.vt = VT_EMPTY;
    return v;
}

// A copy of a held VARIANT into fresh storage: the BSTR duplicated, an interface AddRef'd.
HRESULT duplicate(const VARIANT& source, VARIANT& copy) {
    copy = source;
    if (source.vt == VT_BSTR && source.bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(source.bstrVal, SysStringLen(source.bstrVal));
        if (copy.bstrVal == nullptr) {
            copy = emptyVariant();
            return E_OUTOFMEMORY;
        }
    } else if ((source.vt == VT_UNKNOWN || source.vt == VT_DISPATCH) && source.punkVal != nullptr) {
        source.punkVal->AddRef();
    }
    return S_OK;
}

// ---- The source value of a coercion, read through VT_BYREF ----

struct Value {
    enum Kind { Empty, Null, Integer, Real, Boolean, Text } kind = Empty;
    LONGLONG integer = 0;
    double real = 0;
    VARIANT_BOOL boolean = VARIANT_FALSE;
    BSTR text = nullptr;
};

// The value of a VARIANT whose type coercion understands; nullopt for the others.
std::optional<Value> readValue(const VARIANT& v) {
    const bool byRef = (v.vt & VT_BYREF) != 0;
    if ((v.vt & (VT_ARRAY | VT_VECTOR | VT_RESERVED)) != 0 || (byRef && v.byref == nullptr))
        return std::nullopt;
    Value value;
    switch (v.vt & VT_TYPEMASK) {
    case VT_EMPTY:
        if (byRef)
            return std::nullopt;
        value.kind = Value::Empty;
        return value;
    case VT_NULL:
        if (byRef)
            return std::nullopt;
        value.kind = Value::Null;
        return value;
    case VT_I1:
        value.kind = Value::Integer;
        value.integer = static_cast<signed char>(byRef ? *v.pcVal : v.cVal);
        return value;
    case VT_UI1:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.pbVal : v.bVal;
        return value;
    case VT_I2:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.piVal : v.iVal;
        return value;
    case VT_UI2:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.puiVal : v.uiVal;
        return value;
    case VT_I4:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.plVal : v.lVal;
        return value;
    case VT_INT:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.pintVal : v.intVal;
        return value;
    case VT_UI4:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.pulVal : v.ulVal;
        return value;
    case VT_UINT:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.puintVal : v.uintVal;
        return value;
    case VT_I8:
        value.kind = Value::Integer;
        value.integer = byRef ? *v.pllVal : v.llVal;
        return value;
    case VT_R4:
        value.kind = Value::Real;
        value.real = byRef ? *v.pfltVal : v.fltVal;
        return value;
    case VT_R8:
        value.kind = Value::Real;
        value.real = byRef ? *v.pdblVal : v.dblVal;
        return value;
    case VT_BOOL:
        value.kind = Value::Boolean;
        value.boolean = byRef ? *v.pboolVal : v.boolVal;
        return value;
    case VT_BSTR:
        value.kind = Value::Text;
        value.text = byRef ? *v.pbstrVal : v.bstrVal;
        return value;
    case VT_VARIANT:
        // One level of indirection, as Windows follows it.
        if (!byRef || (v.pvarVal->vt & VT_BYREF) != 0)
            return std::nullopt;
        return readValue(*v.pvarVal);
    default:
        return std::nullopt;
    }
}

// ---- Numbers in text ----

// A number written in text: the value is +/- digits x 10^exponent, digits without leading zeros
// (empty for zero).
struct DecimalNumber {
    bool negative = false;
    std::string digits;
    long long exponent = 0;
};

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

std::u16string_view trimmed(BSTR text) {
    std::u16string_view view(text == nullptr ? u"" : text, SysStringLen(text));
    while (!view.empty() && isBlank(view.front()))
        view.remove_prefix(1);
    while (!view.empty() && isBlank(view.back()))
        view.remove_suffix(1);
    return view;
}

// Blanks around, one sign, digits with thousands separators between them, a decimal point and
// an exponent: "  -1,234.5e3 ". Nullopt when the text is not such a number.
std::optional<DecimalNumber> parseNumber(std::u16string_view text) {
    DecimalNumber number;
    size_t pos = 0;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        number.negative = text[pos] == u'-';
        ++pos;
    }
    bool anyDigit = false;
    long long fractionDigits = 0;
    auto takeDigit = [&](char16_t c) {
        anyDigit = true;
        if (!number.digits.empty() || c != u'0')
            number.digits.push_back(static_cast<char>(c));
    };
    while (pos < text.size()) {
        if (isDigit(text[pos])) {
            takeDigit(text[pos]);
        } else if (text[pos] == u',' && anyDigit) {
            // A thousands separator only between digits of the integer part.
            if (pos + 1 >= text.size() || !isDigit(text[pos + 1]))
                return std::nullopt;
        } else {
            break;
        }
        ++pos;
    }
    if (pos < text.size() && text[pos] == u'.') {
        ++pos;
        while (pos < text.size() && isDigit(text[pos])) {
            // Leading zeros after the point are not kept but still shift the value.
            takeDigit(text[pos]);
            ++fractionDigits;
            ++pos;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    long long exponent = 0;
    if (pos < text.size() && (text[pos] == u'e' || text[pos] == u'E')) {
        ++pos;
        bool negativeExponent = false;
        if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
            negativeExponent = text[pos] == u'-';
            ++pos;
        }
        if (pos >= text.size() || !isDigit(text[pos]))
            return std::nullopt;
        while (pos < text.size() && isDigit(text[pos])) {
            // Saturates far beyond any double's range, so a hostile exponent cannot overflow.
            if (exponent < 1'000'000'000)
                exponent = exponent * 10 + (text[pos] - u'0');
            ++pos;
        }
        if (negativeExponent)
            exponent = -exponent;
    }
    if (pos != text.size())
        return std::nullopt;
    // Trailing zeros of the digits move into the exponent.
    long long trailing = 0;
    while (!number.digits.empty() && number.digits.back() == '0') {
        number.digits.pop_back();
        ++trailing;
    }
    number.exponent = exponent - fractionDigits + trailing;
    return number;
}

// Rounds half to even on the exact decimal value.
HRESULT numberToI4(const DecimalNumber& number, LONG& out) {
    if (number.digits.empty()) {
        out = 0;
        return S_OK;
    }
    const long long digitCount = static_cast<long long>(number.digits.size());
    const long long integerDigits = digitCount + number.exponent;
    if (integerDigits > 10)
        return DISP_E_OVERFLOW;
    unsigned long long magnitude = 0;
    for (long long i = 0; i < integerDigits; ++i)
        magnitude =
            magnitude * 10 + (i < digitCount ? static_cast<unsigned>(number.digits[i] - '0') : 0);
    // The fraction: its first digit decides, the rest breaks a tie.
    if (integerDigits >= 0 && integerDigits < digitCount) {
        const char first = number.digits[static_cast<size_t>(integerDigits)];
        const bool restNonZero = integerDigits + 1 < digitCount; // digits end in non-zero
        if (first > '5' || (first == '5' && restNonZero) || (first == '5' && magnitude % 2 == 1))
            ++magnitude;
    }
    // Below 0.1 (integerDigits < 0) the value rounds to zero.
    const unsigned long long limit = number.negative ? 2147483648ull : 2147483647ull;
    if (magnitude > limit)
        return DISP_E_OVERFLOW;
    out = number.negative ? static_cast<LONG>(-static_cast<long long>(magnitude))
                          : static_cast<LONG>(magnitude);
    return S_OK;
}

HRESULT numberToR8(const DecimalNumber& number, double& out) {
    if (number.digits.empty()) {
        out = 0;
        return S_OK;
    }
    const long long magnitude = static_cast<long long>(number.digits.size()) + number.exponent;
    if (magnitude > 310)
        return DISP_E_OVERFLOW;
    if (magnitude < -330) {
        out = number.negative ? -0.0 : 0.0;
        return S_OK;
    }
    const std::string text = number.digits + "e" + std::to_string(number.exponent);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) {
        if (magnitude > 0)
            return DISP_E_OVERFLOW;
        value = 0;
    } else if (error != std::errc() || end != text.data() + text.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    out = number.negative ? -value : value;
    return S_OK;
}

bool equalsIgnoringCase(std::u16string_view text, std::string_view word) {
    if (text.size() != word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != static_cast<char16_t>(word[i]))
            return false;
    }
    return true;
}

// ---- Numbers as text ----

// As Windows prints a double: up to 15 significant digits, no trailing zeros, an exponent
// ("1E+21", "1.5E-07") when the decimal exponent is below -4 or above 14.
std::string realText(double value) {
    if (std::isnan(value))
        return "-1.#IND";
    if (std::isinf(value))
        return value < 0 ? "-1.#INF" : "1.#INF";
    if (value == 0)
        return "0"; // also for -0
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    for (char& c : text)
        if (c == 'e')
            c = 'E';
    return text;
}

BSTR textOf(std::string_view ascii) {
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(ascii.size()));
    if (out != nullptr)
        for (size_t i = 0; i < ascii.size(); ++i)
            out[i] = static_cast<OLECHAR>(ascii[i]);
    return out;
}

// ---- Coercion to each target ----

HRESULT toI4(const Value& value, LONG& out) {
    switch (value.kind) {
    case Value::Empty:
        out = 0;
        return S_OK;
    case Value::Null:
        return DISP_E_TYPEMISMATCH;
    case Value::Integer:
        if (value.integer < std::numeric_limits<LONG>::min() ||
            value.integer > std::numeric_limits<LONG>::max())
            return DISP_E_OVERFLOW;
        out = static_cast<LONG>(value.integer);
        return S_OK;
    case Value::Real: {
        // The default rounding mode rounds half to even.
        const double rounded = std::nearbyint(value.real);
        if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
            return DISP_E_OVERFLOW; // also NaN
        out = static_cast<LONG>(rounded);
        return S_OK;
    }
    case Value::Boolean:
        out = value.boolean;
        return S_OK;
    case Value::Text: {
        const auto number = parseNumber(trimmed(value.text));
        if (!number)
            return DISP_E_TYPEMISMATCH;
        return numberToI4(*number, out);
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT toR8(const Value& value, double& out) {
    switch (value.kind) {
    case Value::Empty:
        out = 0;
        return S_OK;
    case Value::Null:
        return DISP_E_TYPEMISMATCH;
    case Value::Integer:
        out = static_cast<double>(value.integer);
        return S_OK;
    case Value::Real:
        out = value.real;
        return S_OK;
    case Value::Boolean:
        out = value.boolean;
        return S_OK;
    case Value::Text: {
        const auto number = parseNumber(trimmed(value.text));
        if (!number)
            return DISP_E_TYPEMISMATCH;
        return numberToR8(*number, out);
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT toBool(const Value& value, VARIANT_BOOL& out) {
    switch (value.kind) {
    case Value::Empty:
        out = VARIANT_FALSE;
        return S_OK;
    case Value::Null:
        return DISP_E_TYPEMISMATCH;
    case Value::Integer:
        out = value.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case Value::Real:
        out = value.real != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case Value::Boolean:
        out = value.boolean != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case Value::Text: {
        const std::u16string_view text = trimmed(value.text);
        if (equalsIgnoringCase(text, "true")) {
            out = VARIANT_TRUE;
            return S_OK;
        }
        if (equalsIgnoringCase(text, "false")) {
            out = VARIANT_FALSE;
            return S_OK;
        }
        const auto number = parseNumber(text);
        if (!number)
            return DISP_E_TYPEMISMATCH;
        out = number->digits.empty() ? VARIANT_FALSE : VARIANT_TRUE;
        return S_OK;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT toBstr(const Value& value, USHORT flags, BSTR& out) {
    std::string text;
    switch (value.kind) {
    case Value::Empty:
        break;
    case Value::Null:
        return DISP_E_TYPEMISMATCH;
    case Value::Integer:
        text = std::to_string(value.integer);
        break;
    case Value::Real:
        text = realText(value.real);
        break;
    case Value::Boolean:
        if ((flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0)
            text = value.boolean != 0 ? "True" : "False";
        else
            text = value.boolean != 0 ? "-1" : "0";
        break;
    case Value::Text:
        out = SysAllocStringLen(value.text, SysStringLen(value.text));
        return out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    out = textOf(text);
    return out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT coerce(const Value& value, USHORT flags, VARTYPE vt, VARIANT& result) {
    result = emptyVariant();
    switch (vt) {
    case VT_EMPTY:
        return S_OK;
    case VT_NULL:
        if (value.kind != Value::Null && value.kind != Value::Empty)
            return DISP_E_TYPEMISMATCH;
        result.vt = VT_NULL;
        return S_OK;
    case VT_I4: {
        const HRESULT hr = toI4(value, result.lVal);
        if (SUCCEEDED(hr))
            result.vt = VT_I4;
        return hr;
    }
    case VT_R8: {
        const HRESULT hr = toR8(value, result.dblVal);
        if (SUCCEEDED(hr))
            result.vt = VT_R8;
        return hr;
    }
    case VT_BOOL: {
        const HRESULT hr = toBool(value, result.boolVal);
        if (SUCCEEDED(hr))
            result.vt = VT_BOOL;
        return hr;
    }
    case VT_BSTR: {
        const HRESULT hr = toBstr(value, flags, result.bstrVal);
        if (SUCCEEDED(hr))
            result.vt = VT_BSTR;
        return hr;
    }
    default:
        return DISP_E_BADVARTYPE;
    }
}

// Puts a finished result into the destination, clearing what it held; the result is freed when
// the destination cannot be cleared.
HRESULT store(VARIANT* destination, VARIANT& result) {
    const HRESULT hr = VariantClear(destination);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *destination = result;
    return S_OK;
}

} // namespace

extern "C" {

void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg) {
    if (pvarg != nullptr)
        *pvarg = emptyVariant();
}

HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr)
        return E_INVALIDARG;
    if (!isHeldType(pvarg->vt))
        return DISP_E_BADVARTYPE;
    if (pvarg->vt == VT_BSTR)
        SysFreeString(pvarg->bstrVal);
    else if ((pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) && pvarg->punkVal != nullptr)
        pvarg->punkVal->Release();
    *pvarg = emptyVariant();
    return S_OK;
}

HRESULT STDAPICALLTYPE VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    if (!isHeldType(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT copy;
    const HRESULT hr = duplicate(*pvargSrc, copy);
    if (FAILED(hr))
        return hr;
    return store(pvargDest, copy);
}

HRESULT STDAPICALLTYPE VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
    if (pvarDest == nullptr || pvargSrc == nullptr)
        return E_INVALIDARG;
    if ((pvargSrc->vt & VT_BYREF) == 0)
        return VariantCopy(pvarDest, pvargSrc);
    if (!isHeldType(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    if (pvargSrc->byref == nullptr)
        return E_INVALIDARG;
    const VARTYPE base = pvargSrc->vt & VT_TYPEMASK;
    VARIANT value = emptyVariant();
    if (base == VT_VARIANT) {
        if ((pvargSrc->pvarVal->vt & VT_BYREF) != 0)
            return E_INVALIDARG;
        if (!isHeldType(pvargSrc->pvarVal->vt))
            return DISP_E_BADVARTYPE;
        value = *pvargSrc->pvarVal;
    } else if (base == VT_DECIMAL) {
        // A DECIMAL fills the whole VARIANT; its reserved first field is where vt lies.
        std::memcpy(&value.decVal, pvargSrc->byref, sizeof(DECIMAL));
        value.vt = VT_DECIMAL;
    } else {
        std::memcpy(&value.llVal, pvargSrc->byref, referencedSize(base));
        value.vt = base;
    }
    VARIANT copy;
    const HRESULT hr = duplicate(value, copy);
    if (FAILED(hr))
        return hr;
    return store(pvarDest, copy);
}

HRESULT STDAPICALLTYPE VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                           LCID /*lcid*/, USHORT wFlags, VARTYPE vt) {
    if (pvargDest == nullptr || pvarSrc == nullptr)
        return E_INVALIDARG;
    if (!isHeldType(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT result;
    if (pvarSrc->vt == vt) {
        if (pvargDest == pvarSrc)
            return S_OK;
        const HRESULT hr = duplicate(*pvarSrc, result);
        if (FAILED(hr))
            return hr;
        return store(pvargDest, result);
    }
    const auto value = readValue(*pvarSrc);
    if (!value) {
        // An interface or error code has no value to convert; other types are not offered.
        const VARTYPE base = pvarSrc->vt & VT_TYPEMASK;
        return base == VT_UNKNOWN || base == VT_DISPATCH || base == VT_ERROR ? DISP_E_TYPEMISMATCH
                                                                             : DISP_E_BADVARTYPE;
    }
    // The result is complete before the destination is touched, so source and destination may
    // be the same VARIANT and a failure leaves both as they were.
    const HRESULT hr = coerce(*value, wFlags, vt, result);
    if (FAILED(hr))
        return hr;
    return store(pvargDest, result);
}

HRESULT STDAPICALLTYPE VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                         USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

} // extern "C"
