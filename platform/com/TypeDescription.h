// The type description a module embeds as its "TYPELIB" resource 1: a small subset of IDL,
// parsed strictly. It drives ITypeLib/ITypeInfo (TypeLibrary.h) and IDispatch (DispatchImpl.h).
//
//     [uuid(6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E001), version(1.0), lcid(0x409), syskind(win64),
//      helpstring("Sample 1.0 Type Library")]
//     library SAMPLELib
//     {
//         [object, uuid(6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E002), dual, oleautomation,
//          helpstring("ISample Interface")]
//         interface ISample : IDispatch
//         {
//             [propget, id(1), helpstring("property Name")] HRESULT Name([out, retval] BSTR* pVal);
//             [id(2), helpstring("method Add")] HRESULT Add([in] long a, long b, [out, retval] long* pVal);
//         };
//         [uuid(6A1F0C52-3D0B-4E4B-9B6E-0A51C0D1E003), helpstring("Sample Class")]
//         coclass Sample
//         {
//             [default] interface ISample;
//         };
//     };
//
// Rules: one library, with uuid, version(M.m) and syskind(win32|win64) required, lcid and
// helpstring optional; interfaces derive from IDispatch and may stand before the library or
// inside it; coclasses stand inside it. Members return HRESULT, are [propget] or methods, and
// need id(n). Parameters are BSTR, long or VARIANT_BOOL inputs (no attribute, or [in]), and an
// optional last [out, retval] BSTR*, long*, VARIANT_BOOL* or VARIANT*; a propget needs one.
// Comments (// and /* */) and importlib("...") are allowed. Names of members are unique per
// interface without regard to case, and so are DISPIDs.
#pragma once

#include <guiddef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::com {

enum class ValueType { Bstr, Long, VariantBool, Variant };

struct ParamInfo {
    std::string name;
    ValueType type = ValueType::Long;
    bool in = false;     // [in] written
    bool retval = false; // [out, retval]: a pointer to type
};

enum class MemberKind { Method, PropertyGet };

struct MemberInfo {
    int32_t dispid = 0;
    MemberKind kind = MemberKind::Method;
    std::string name;
    std::string helpString;
    bool hidden = false;
    std::vector<ParamInfo> params; // in declaration order; a retval is last
    size_t inputCount() const { return params.size() - (hasRetval() ? 1 : 0); }
    bool hasRetval() const { return !params.empty() && params.back().retval; }
};

struct InterfaceInfo {
    std::string name;
    GUID iid{};
    std::string helpString;
    bool dual = false;
    bool oleAutomation = false;
    bool hidden = false;
    bool nonExtensible = false;
    std::vector<MemberInfo> members; // in slot order
};

struct CoclassInfo {
    std::string name;
    GUID clsid{};
    std::string helpString;
    bool creatable = true;
    std::vector<std::string> interfaces;
    size_t defaultInterface = 0; // index into interfaces
};

enum class SystemKind { Win32, Win64 };

struct LibraryInfo {
    std::string name;
    GUID libid{};
    std::string helpString;
    uint32_t lcid = 0;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
    SystemKind systemKind = SystemKind::Win64;
    // The type infos in declaration order: interfaces and coclasses together, as a type library
    // indexes them.
    struct TypeRef {
        bool isInterface;
        size_t index;
    };
    std::vector<TypeRef> types;
    std::vector<InterfaceInfo> interfaces;
    std::vector<CoclassInfo> coclasses;

    const InterfaceInfo* findInterface(std::string_view name) const;
};

// Nullopt with "line N: what is wrong" in *error for anything outside the rules above.
std::optional<LibraryInfo> parseTypeDescription(std::string_view text, std::string* error);

// ASCII case-insensitive comparison, as OLE compares member names.
bool sameNameNoCase(std::string_view a, std::string_view b);

} // namespace platform::com
