#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>
#include <oleauto.h>

#include "platform/com/GuidText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string oleText(const GUID& guid) {
    OLECHAR text[39];
    EXPECT_EQ(StringFromGUID2(guid, text, 39), 39);
    return std::string(text, text + 38);
}

// A typo in an interface id breaks every client silently, so each is checked against the value
// Windows gives it.
TEST(GuidText, InterfaceIdsHaveWindowsValues) {
    const std::pair<const IID*, const char*> ids[] = {
        {&IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {&IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
        {&IID_IDispatch, "{00020400-0000-0000-C000-000000000046}"},
        {&IID_ITypeInfo, "{00020401-0000-0000-C000-000000000046}"},
        {&IID_ITypeLib, "{00020402-0000-0000-C000-000000000046}"},
        {&IID_IObjectSafety, "{CB5BDC81-93C1-11CF-8F20-00805F2CD064}"},
        {&IID_IObjectWithSite, "{FC4801A3-2BA9-11CF-A229-00AA003D7352}"},
    };
    for (const auto& [iid, text] : ids)
        EXPECT_EQ(oleText(*iid), text);
}

TEST(GuidText, TextRoundTripsInAnyCase) {
    const GUID guid = {
        0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
    CLSID parsed{};
    EXPECT_EQ(CLSIDFromString(u"{cb5bdc81-93c1-11cf-8F20-00805f2cd064}", &parsed), S_OK);
    EXPECT_TRUE(IsEqualGUID(parsed, guid));

    EXPECT_EQ(platform::guidToText(guid), "{CB5BDC81-93C1-11CF-8F20-00805F2CD064}");
    const auto back = platform::guidFromText("{cb5bdc81-93c1-11cf-8f20-00805f2cd064}");
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(IsEqualGUID(*back, guid));

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(StringFromCLSID(guid, &allocated), S_OK);
    EXPECT_EQ(std::u16string(allocated), u"{CB5BDC81-93C1-11CF-8F20-00805F2CD064}");
    CoTaskMemFree(allocated);

    GUID fresh{};
    ASSERT_EQ(CoCreateGuid(&fresh), S_OK);
    EXPECT_EQ(platform::guidFromText(platform::guidToText(fresh)).value(), fresh);
}

TEST(GuidText, MalformedTextsAreRefused) {
    const char16_t* malformed[] = {
        u"",
        u"CB5BDC81-93C1-11CF-8F20-00805F2CD064",    // no braces
        u"{CB5BDC81-93C1-11CF-8F20-00805F2CD064",   // no closing brace
        u"{CB5BDC81-93C1-11CF-8F20-00805F2CD064}x", // text after it
        u"{CB5BDC81-93C1-11CF-8F20-00805F2CD06}",   // a digit short
        u"{CB5BDC8G-93C1-11CF-8F20-00805F2CD064}",  // not hex
        u"{CB5BDC81093C1-11CF-8F20-00805F2CD064}",  // hyphen missing
        u"{CB5BDC8-193C1-11CF-8F20-00805F2CD064}",  // hyphen moved
        u"{ CB5BDC81-93C1-11CF-8F20-00805F2CD06}",  // blank
        u"{CB5BDC81-93C1-11CF-8F2000805F2CD064-}",
        u"QXMeridiaControl.SGN",
    };
    for (const char16_t* text : malformed) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING)
            << std::string(text, text + std::char_traits<char16_t>::length(text));
        EXPECT_FALSE(platform::guidFromText(
            std::string(text, text + std::char_traits<char16_t>::length(text))));
    }
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), E_INVALIDARG);
    EXPECT_FALSE(
        platform::guidFromText(std::string_view("{00000000-0000-0000-C000-000000000046}\0", 39)));
}

TEST(GuidText, ShortBufferGivesZero) {
    OLECHAR text[39] = {};
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 38), 0);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, nullptr, 39), 0);
}

} // namespace
