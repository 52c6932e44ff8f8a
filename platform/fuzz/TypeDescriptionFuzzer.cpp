// Fuzzed bytes as the type description a module carries. A description the parser accepts must
// hold what its rules promise: a retval only last, a propget with one, member names and DISPIDs
// unique per interface, coclass interfaces and the type index pointing at what exists.
#include "platform/com/TypeDescription.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "platform_fuzz_typedescription: %s\n", what);
        std::abort();
    }
}

void checkInterface(const platform::com::InterfaceInfo& info) {
    for (std::size_t i = 0; i < info.members.size(); ++i) {
        const platform::com::MemberInfo& member = info.members[i];
        check(!member.name.empty(), "a member without a name");
        for (std::size_t p = 0; p + 1 < member.params.size(); ++p)
            check(!member.params[p].retval, "a retval before the last parameter");
        if (member.kind == platform::com::MemberKind::PropertyGet)
            check(member.hasRetval(), "a propget without a retval");
        for (std::size_t j = i + 1; j < info.members.size(); ++j) {
            check(!platform::com::sameNameNoCase(member.name, info.members[j].name),
                  "two members of one name");
            check(member.dispid != info.members[j].dispid, "two members of one DISPID");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto library = platform::com::parseTypeDescription(text, &error);
    if (!library) {
        // Only refusals of the whole text may name no line.
        if (error.rfind("line ", 0) != 0 && error != "the description holds a zero byte" &&
            error != "the description is larger than 1 MiB") {
            std::fprintf(stderr, "refused with: %s\n", error.c_str());
            check(false, "a refusal that names no line");
        }
        return 0;
    }
    check(!library->name.empty(), "a library without a name");
    for (const auto& info : library->interfaces) {
        checkInterface(info);
        check(library->findInterface(info.name) != nullptr,
              "an interface that cannot be found by name");
    }
    for (const auto& coclass : library->coclasses) {
        check(coclass.defaultInterface < coclass.interfaces.size() || coclass.interfaces.empty(),
              "a default interface out of range");
    }
    for (const auto& type : library->types) {
        check(type.isInterface ? type.index < library->interfaces.size()
                               : type.index < library->coclasses.size(),
              "a type index out of range");
    }
    return 0;
}
