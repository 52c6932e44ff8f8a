// The members a page may call on a control: the functions of its dispatch interface as its type
// information lists them, with their input parameters.
#pragma once

#include <oaidl.h>

#include <string>
#include <vector>

namespace bridge::worker {

enum class ParamType { bstr, long_ };

struct Member {
    std::string name; // as the type information spells it
    DISPID id = DISPID_UNKNOWN;
    std::vector<ParamType> params; // inputs in order; [out, retval] excluded
};

// From IDispatch::GetTypeInfo(0). IUnknown and IDispatch methods, restricted functions, property
// setters and functions with a parameter that is neither BSTR nor long are left out (the last are
// named in skipped, for the log). False when the type information cannot be read.
bool readMembers(IDispatch* dispatch, std::vector<Member>& members, std::vector<std::string>& skipped);

// The member whose name matches without regard to (ASCII) case, or nullptr.
const Member* findMember(const std::vector<Member>& members, const std::string& name);

const char* paramTypeName(ParamType type);

} // namespace bridge::worker
