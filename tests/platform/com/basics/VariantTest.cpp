#include <oleauto.h>

#include "platform/com/Utf16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

// Owns a VARIANT for the length of a test.
struct Var : VARIANT {
    Var() { VariantInit(this); }
    explicit Var(LONG value) : Var() {
        vt = VT_I4;
        lVal = value;
    }
    explicit Var(double value) : Var() {
        vt = VT_R8;
        dblVal = value;
    }
    explicit Var(const char* utf8) : Var() {
        vt = VT_BSTR;
        bstrVal = platform::bstrFromUtf8(utf8);
    }
    static Var boolean(bool value) {
        Var v;
        v.vt = VT_BOOL;
        v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
    static Var null() {
        Var v;
        v.vt = VT_NULL;
        return v;
    }
    ~Var() { VariantClear(this); }
    Var(const Var& other) : Var() { VariantCopy(this, &other); }
};

// The result of VariantChangeType into a fresh VARIANT.
struct Changed {
    HRESULT hr;
    Var value;
};

Changed change(const VARIANT& source, VARTYPE vt, USHORT flags = 0) {
    Changed out{E_FAIL, Var()};
    out.hr = VariantChangeType(&out.value, &source, flags, vt);
    return out;
}

std::u16string textOf(const Changed& changed) {
    EXPECT_EQ(changed.hr, S_OK);
    EXPECT_EQ(changed.value.vt, VT_BSTR);
    return std::u16string(platform::bstrView(changed.value.bstrVal));
}

// Counts the references a VARIANT takes and gives back.
struct CountedObject final : IUnknown {
    ULONG references = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
};

TEST(Variant, InitClearAndCopyManageTheirContents) {
    Var text("a\0b");
    ASSERT_EQ(text.vt, VT_BSTR);
    Var copy;
    ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, text.bstrVal) << "a copy owns its own string";
    EXPECT_EQ(platform::bstrView(copy.bstrVal), platform::bstrView(text.bstrVal));
    // Copying over a held string replaces it.
    const Var seven(7);
    ASSERT_EQ(VariantCopy(&copy, &seven), S_OK);
    EXPECT_EQ(copy.vt, VT_I4);
    EXPECT_EQ(V_I4(&copy), 7);

    ASSERT_EQ(VariantClear(&text), S_OK);
    EXPECT_EQ(V_VT(&text), VT_EMPTY);

    CountedObject object;
    Var unknown;
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = &object;
    object.AddRef();
    Var second;
    ASSERT_EQ(VariantCopy(&second, &unknown), S_OK);
    EXPECT_EQ(object.references, 3u);
    VariantClear(&second);
    VariantClear(&unknown);
    EXPECT_EQ(object.references, 1u);
}

TEST(Variant, CopyIndReadsThroughOneReference) {
    LONG number = 41;
    Var byRef;
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &number;
    Var copy;
    ASSERT_EQ(VariantCopyInd(&copy, &byRef), S_OK);
    EXPECT_EQ(copy.vt, VT_I4);
    EXPECT_EQ(copy.lVal, 41);

    BSTR text = SysAllocString(u"abc");
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &text;
    ASSERT_EQ(VariantCopyInd(&copy, &byRef), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, text) << "the referenced string is copied, not taken";
    EXPECT_EQ(platform::bstrView(copy.bstrVal), u"abc");
    SysFreeString(text);

    Var inner("xyz");
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &inner;
    ASSERT_EQ(VariantCopyInd(&copy, &byRef), S_OK);
    EXPECT_EQ(platform::bstrView(copy.bstrVal), u"xyz");

    // A reference to a reference, or to nothing, is refused and the destination kept.
    Var nested;
    nested.vt = VT_BYREF | VT_I4;
    nested.plVal = &number;
    byRef.pvarVal = &nested;
    EXPECT_EQ(VariantCopyInd(&copy, &byRef), E_INVALIDARG);
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = nullptr;
    EXPECT_EQ(VariantCopyInd(&copy, &byRef), E_INVALIDARG);
    EXPECT_EQ(platform::bstrView(copy.bstrVal), u"xyz");
    byRef.vt = VT_EMPTY;
    nested.vt = VT_EMPTY;
}

TEST(Variant, UnsupportedTypesAreRefusedAndLeftAlone) {
    Var array;
    array.vt = VT_ARRAY | VT_I4;
    EXPECT_EQ(VariantClear(&array), DISP_E_BADVARTYPE);
    EXPECT_EQ(array.vt, VT_ARRAY | VT_I4);
    Var target(5);
    EXPECT_EQ(VariantCopy(&target, &array), DISP_E_BADVARTYPE);
    EXPECT_EQ(target.vt, VT_I4);
    EXPECT_EQ(change(Var(5), VT_DATE).hr, DISP_E_BADVARTYPE);
    array.vt = VT_EMPTY;
}

TEST(Variant, TextToI4AcceptsNumbersAndRoundsHalfToEven) {
    const std::pair<const char*, LONG> cases[] = {
        {"42", 42},
        {"  -7 ", -7},
        {"\t+8\t", 8},
        {"1,234", 1234},
        {"-1,234,567", -1234567},
        {"2.5", 2},
        {"3.5", 4},
        {"-2.5", -2},
        {"-3.5", -4},
        {"0.5", 0},
        {"1.5", 2},
        {"2.5000000000000000000001", 3},
        {"0.49999999999999999999", 0},
        {"1e3", 1000},
        {"1.5E+1", 15},
        {"25E-1", 2},
        {".5", 0},
        {"7.", 7},
        {"0000012", 12},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<LONG>::min()},
        {"2147483647.4", 2147483647},
        {"-2147483648.5", std::numeric_limits<LONG>::min()},
        {"1e-999999999999", 0},
    };
    for (const auto& [text, expected] : cases) {
        const Changed result = change(Var(text), VT_I4);
        EXPECT_EQ(result.hr, S_OK) << text;
        EXPECT_EQ(result.value.vt, VT_I4) << text;
        EXPECT_EQ(result.value.lVal, expected) << text;
    }
    for (const char* text : {"2147483648", "-2147483649", "2147483647.5", "1e10", "99999999999",
                             "1e999999999999999999"})
        EXPECT_EQ(change(Var(text), VT_I4).hr, DISP_E_OVERFLOW) << text;
    for (const char* text : {"", "   ", "abc", "12abc", "1e", "1.2.3", ",5", "5,", "--5", "+", ".",
                             "1 2", "0x10", "True"}) {
        const Changed result = change(Var(text), VT_I4);
        EXPECT_EQ(result.hr, DISP_E_TYPEMISMATCH) << text;
        EXPECT_EQ(result.value.vt, VT_EMPTY) << text;
    }
}

TEST(Variant, NumbersAndBooleansToI4) {
    const std::pair<double, LONG> reals[] = {{2.5, 2},
                                             {3.5, 4},
                                             {-2.5, -2},
                                             {-3.5, -4},
                                             {2.4, 2},
                                             {-0.6, -1},
                                             {2147483647.4, 2147483647},
                                             {-2147483648.5, -2147483647 - 1}};
    for (const auto& [real, expected] : reals) {
        const Changed result = change(Var(real), VT_I4);
        EXPECT_EQ(result.hr, S_OK) << real;
        EXPECT_EQ(result.value.lVal, expected) << real;
    }
    for (double real : {2147483647.5, -2147483649.0, 1e20, std::nan("")})
        EXPECT_EQ(change(Var(real), VT_I4).hr, DISP_E_OVERFLOW) << real;

    EXPECT_EQ(change(Var::boolean(true), VT_I4).value.lVal, -1);
    EXPECT_EQ(change(Var::boolean(false), VT_I4).value.lVal, 0);
    const Changed empty = change(Var(), VT_I4);
    EXPECT_EQ(empty.hr, S_OK);
    EXPECT_EQ(empty.value.vt, VT_I4);
    EXPECT_EQ(empty.value.lVal, 0);

    // Script engines also pass small integers as VT_I2, and arguments by reference.
    Var small;
    small.vt = VT_I2;
    small.iVal = -12;
    EXPECT_EQ(change(small, VT_I4).value.lVal, -12);
    LONG referenced = 99;
    Var byRef;
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &referenced;
    EXPECT_EQ(textOf(change(byRef, VT_BSTR)), u"99");
}

TEST(Variant, ValuesToText) {
    EXPECT_EQ(textOf(change(Var(-123), VT_BSTR)), u"-123");
    const std::pair<double, const char16_t*> reals[] = {
        {16.5, u"16.5"},
        {0.1, u"0.1"},
        {1e21, u"1E+21"},
        {-1.5e-7, u"-1.5E-07"},
        {100.0, u"100"},
        {1.0 / 3, u"0.333333333333333"},
        {123456789012345.0, u"123456789012345"},
        {1e15, u"1E+15"},
        {1.23456789012345678e17, u"1.23456789012346E+17"},
        {-0.0, u"0"},
        {0.0001, u"0.0001"},
        {1e100, u"1E+100"},
    };
    for (const auto& [real, expected] : reals)
        EXPECT_EQ(textOf(change(Var(real), VT_BSTR)), expected) << real;

    EXPECT_EQ(textOf(change(Var::boolean(true), VT_BSTR)), u"-1");
    EXPECT_EQ(textOf(change(Var::boolean(false), VT_BSTR)), u"0");
    EXPECT_EQ(textOf(change(Var::boolean(true), VT_BSTR, VARIANT_ALPHABOOL)), u"True");
    EXPECT_EQ(textOf(change(Var::boolean(false), VT_BSTR, VARIANT_ALPHABOOL)), u"False");

    const Changed empty = change(Var(), VT_BSTR);
    EXPECT_EQ(textOf(empty), u"");
    EXPECT_NE(empty.value.bstrVal, nullptr) << "an empty text, not a null BSTR";
}

TEST(Variant, TextToBooleanAndReal) {
    const std::pair<const char*, VARIANT_BOOL> booleans[] = {
        {"True", VARIANT_TRUE},   {"false", VARIANT_FALSE}, {"TRUE", VARIANT_TRUE},
        {" tRuE ", VARIANT_TRUE}, {"0", VARIANT_FALSE},     {"2", VARIANT_TRUE},
        {"-1", VARIANT_TRUE},     {"0.0", VARIANT_FALSE},   {"0.1", VARIANT_TRUE},
    };
    for (const auto& [text, expected] : booleans) {
        const Changed result = change(Var(text), VT_BOOL);
        EXPECT_EQ(result.hr, S_OK) << text;
        EXPECT_EQ(result.value.vt, VT_BOOL) << text;
        EXPECT_EQ(result.value.boolVal, expected) << text;
    }
    EXPECT_EQ(change(Var("yes"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(Var(3), VT_BOOL).value.boolVal, VARIANT_TRUE);
    EXPECT_EQ(change(Var(), VT_BOOL).value.boolVal, VARIANT_FALSE);

    EXPECT_EQ(change(Var("1,234.5"), VT_R8).value.dblVal, 1234.5);
    EXPECT_EQ(change(Var(" -2.5e-3 "), VT_R8).value.dblVal, -0.0025);
    EXPECT_EQ(change(Var("1e-400"), VT_R8).value.dblVal, 0.0);
    EXPECT_EQ(change(Var("1e400"), VT_R8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(change(Var("1.7976931348623157e308"), VT_R8).value.dblVal,
              std::numeric_limits<double>::max());
    EXPECT_EQ(change(Var("x"), VT_R8).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(Var::boolean(true), VT_R8).value.dblVal, -1.0);
}

TEST(Variant, NullConvertsOnlyToNullOrEmpty) {
    for (VARTYPE vt : {VT_I4, VT_R8, VT_BOOL, VT_BSTR}) {
        const Changed result = change(Var::null(), vt);
        EXPECT_EQ(result.hr, DISP_E_TYPEMISMATCH) << vt;
        EXPECT_EQ(result.value.vt, VT_EMPTY) << vt;
    }
    EXPECT_EQ(change(Var::null(), VT_NULL).value.vt, VT_NULL);
    EXPECT_EQ(change(Var::null(), VT_EMPTY).hr, S_OK);
    EXPECT_EQ(change(Var(), VT_NULL).value.vt, VT_NULL);
    EXPECT_EQ(change(Var(1), VT_NULL).hr, DISP_E_TYPEMISMATCH);
}

TEST(Variant, InPlaceConversionReplacesTheSource) {
    Var value(" 1,000 ");
    ASSERT_EQ(VariantChangeType(&value, &value, 0, VT_I4), S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 1000);
    ASSERT_EQ(VariantChangeType(&value, &value, 0, VT_BSTR), S_OK);
    EXPECT_EQ(platform::bstrView(value.bstrVal), u"1000");

    // A failed conversion leaves source and destination as they were.
    Var bad("abc");
    EXPECT_EQ(VariantChangeType(&bad, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad.vt, VT_BSTR);
    EXPECT_EQ(platform::bstrView(bad.bstrVal), u"abc");
    Var destination("kept");
    const Var other("x");
    EXPECT_EQ(VariantChangeType(&destination, &other, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(platform::bstrView(destination.bstrVal), u"kept");
}

} // namespace
