// A page's argument as the control's parameter, and the control's out value as a page's value,
// converted as the script engine did: through VariantChangeType with US English rules.
#pragma once

#include "bridge/ipc/Values.h"
#include "bridge/worker/Members.h"

#include <oaidl.h>
#include <oleauto.h>

#include <optional>
#include <string>

namespace bridge::worker {

// An owned VARIANT.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&value_); }
    VARIANT& get() { return value_; }
    const VARIANT& get() const { return value_; }

private:
    VARIANT value_;
};

// The parameter value, or nullopt with why (the part after "bad request: ") when the argument
// cannot be that type: null, an object, a non-numeric or out-of-range number for a long.
std::optional<Variant> toParam(const ipc::Argument& argument, ParamType type, std::string& why);

// ["n", x] for VT_I4, ["s", text] for VT_BSTR (a null BSTR reads as ""), null for anything else.
nlohmann::json fromResult(const VARIANT& value);

} // namespace bridge::worker
