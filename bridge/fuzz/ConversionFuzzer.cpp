// Fuzzed bytes as a page's argument, converted to each parameter type a control declares and the
// result read back as a page's value. The first byte chooses how the rest is read: as the JSON
// encoding a page sends (["s", text], ["n", number], ...), or as a raw text or number, so that
// the conversions see texts and doubles that JSON would not carry.
#include "bridge/ipc/Values.h"
#include "bridge/worker/Conversion.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "bridge_fuzz_conversion: %s\n", what);
        std::abort();
    }
}

std::optional<bridge::ipc::Argument> argumentFrom(const uint8_t* data, size_t size) {
    if (size == 0)
        return std::nullopt;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    bridge::ipc::Argument argument;
    switch (data[0] % 4) {
    case 0: {
        const nlohmann::json value = nlohmann::json::parse(rest, nullptr, false);
        if (value.is_discarded())
            return std::nullopt;
        return bridge::ipc::decodeArgument(value);
    }
    case 1:
        argument.kind = bridge::ipc::Argument::Kind::text;
        argument.text = rest;
        return argument;
    case 2:
        if (rest.size() < sizeof argument.number)
            return std::nullopt;
        argument.kind = bridge::ipc::Argument::Kind::number;
        std::memcpy(&argument.number, rest.data(), sizeof argument.number);
        return argument;
    default:
        argument.kind = rest.empty() ? bridge::ipc::Argument::Kind::undefined
                                     : bridge::ipc::Argument::Kind::boolean;
        argument.boolean = !rest.empty() && (rest[0] & 1);
        return argument;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto argument = argumentFrom(data, size);
    if (!argument)
        return 0;
    for (const auto type : {bridge::worker::ParamType::bstr, bridge::worker::ParamType::long_}) {
        std::string why;
        const auto param = bridge::worker::toParam(*argument, type, why);
        if (!param) {
            check(!why.empty(), "a refused argument without a reason");
            continue;
        }
        const VARIANT& value = param->get();
        if (type == bridge::worker::ParamType::bstr) {
            check(value.vt == VT_BSTR && value.bstrVal != nullptr,
                  "a text parameter that is no BSTR");
        } else {
            check(value.vt == VT_I4, "a long parameter that is no VT_I4");
        }
        // What the page would get back, serialised as the reply is.
        const nlohmann::json result = bridge::worker::fromResult(value);
        check(!result.is_null(), "a converted value the page cannot be given");
        (void)bridge::ipc::dumpMessage(nlohmann::json::array({result}));
    }
    return 0;
}
