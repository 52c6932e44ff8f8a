// The type description parser: what a well-formed description yields, and the refusals.
#include "platform/com/TypeDescription.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace platform::com;

constexpr const char* kLibraryHead =
    "[uuid(5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0101), version(2.3), lcid(0x804), syskind(win32),\n"
    " helpstring(\"Demo \\\"quoted\\\" Library\")]\n"
    "library DEMOLib {\n";

std::string library(const std::string& body) {
    return std::string(kLibraryHead) + body + "};\n";
}

constexpr const char* kInterface =
    "  [object, uuid({5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0102}), dual, helpstring(\"IDemo Interface\")]\n"
    "  interface IDemo : IDispatch {\n"
    "    [propget, id(1), helpstring(\"property IsOnline\")] HRESULT IsOnline([out, retval] long* pVal);\n"
    "    [propget, id(0x2A)] HRESULT VerifyResult(BSTR KeyModule, [in] BSTR PlanText, VARIANT_BOOL Sign,\n"
    "                                            [out, retval] BSTR* pVal);\n"
    "    [id(3), hidden] HRESULT Reset(void);\n"
    "  };\n";

TEST(TypeDescription, ReadsLibraryInterfaceAndCoclass) {
    std::string error;
    const auto parsed = parseTypeDescription(
        library(std::string(kInterface) +
                "  [uuid(5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0103), noncreatable] coclass Demo {\n"
                "    interface IDemo;\n"
                "  };\n"),
        &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->name, "DEMOLib");
    EXPECT_EQ(parsed->helpString, "Demo \"quoted\" Library");
    EXPECT_EQ(parsed->lcid, 0x804u);
    EXPECT_EQ(parsed->majorVersion, 2);
    EXPECT_EQ(parsed->minorVersion, 3);
    EXPECT_EQ(parsed->systemKind, SystemKind::Win32);
    EXPECT_EQ(parsed->libid.Data1, 0x5E1D7A30u);
    EXPECT_EQ(parsed->libid.Data4[7], 0x01);
    ASSERT_EQ(parsed->types.size(), 2u);
    EXPECT_TRUE(parsed->types[0].isInterface);

    const InterfaceInfo& item = parsed->interfaces.at(0);
    EXPECT_EQ(item.iid.Data4[7], 0x02);
    EXPECT_TRUE(item.dual);
    EXPECT_TRUE(item.oleAutomation) << "dual implies oleautomation";
    ASSERT_EQ(item.members.size(), 3u);
    const MemberInfo& verify = item.members[1];
    EXPECT_EQ(verify.dispid, 42);
    EXPECT_EQ(verify.kind, MemberKind::PropertyGet);
    EXPECT_EQ(verify.helpString, "");
    ASSERT_EQ(verify.params.size(), 4u);
    EXPECT_EQ(verify.inputCount(), 3u);
    EXPECT_EQ(verify.params[0].name, "KeyModule");
    EXPECT_FALSE(verify.params[0].in);
    EXPECT_TRUE(verify.params[1].in);
    EXPECT_EQ(verify.params[2].type, ValueType::VariantBool);
    EXPECT_TRUE(verify.params[3].retval);
    EXPECT_EQ(verify.params[3].type, ValueType::Bstr);
    EXPECT_EQ(item.members[2].kind, MemberKind::Method);
    EXPECT_TRUE(item.members[2].params.empty());
    EXPECT_TRUE(item.members[2].hidden);

    const CoclassInfo& coclass = parsed->coclasses.at(0);
    EXPECT_FALSE(coclass.creatable);
    EXPECT_EQ(coclass.defaultInterface, 0u) << "the only interface is the default";
}

TEST(TypeDescription, RefusesWhatItDoesNotUnderstandWithTheLine) {
    struct Case {
        const char* what;
        std::string text;
        const char* expected;
    };
    const std::string good(kInterface);
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string copy = good;
        copy.replace(copy.find(from), from.size(), to);
        return library(copy);
    };
    const Case cases[] = {
        {"no library", kInterface, "no library"},
        {"missing syskind",
         "[uuid(5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0101), version(1.0)] library L { };", "syskind"},
        {"bad uuid", replaced("3B7C2D9E0102", "3B7C2D9E01"), "line 4: uuid"},
        {"unknown attribute", replaced("hidden", "restricted"), "line 9: attribute restricted"},
        {"unsupported type", replaced("VARIANT_BOOL Sign", "double Sign"), "line 7: parameter type double"},
        {"retval not last", replaced("[out, retval] long* pVal", "[out, retval] long* pVal, long more"),
         "line 6: the [out, retval] parameter of IsOnline must be the last"},
        {"out without retval", replaced("[out, retval] long*", "[out] long*"), "line 6: only [out, retval]"},
        {"retval by value", replaced("[out, retval] long*", "[out, retval] long"), "a pointer"},
        {"propget without value", replaced("IsOnline([out, retval] long* pVal)", "IsOnline()"),
         "property IsOnline needs"},
        {"duplicate id", replaced("id(0x2A)", "id(1)"), "id(1) is used twice"},
        {"duplicate name in other case", replaced("Reset", "isonline"), "member isonline is declared twice"},
        {"not HRESULT", replaced("HRESULT Reset", "long Reset"), "members return HRESULT"},
        {"not IDispatch", replaced("IDispatch", "IUnknown"), "must derive from IDispatch"},
        {"unterminated string", replaced("\"IDemo Interface\"", "\"IDemo Interface"), "line 4: unterminated string"},
        {"unclosed interface", library("  [uuid(5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0102)] interface I : IDispatch {"),
         "is not closed"},
        {"coclass of an unknown interface",
         library("[uuid(5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0103)] coclass C { interface INone; };"),
         "interface INone is not declared"},
        {"stray character", replaced("dual,", "dual, @"), "unexpected character '@'"},
        {"zero byte", library(std::string("x\0y", 3)), "zero byte"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parseTypeDescription(c.text, &error)) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": got \"" << error << "\"";
    }
}

} // namespace
