#include "bridge/ipc/Values.h"

#include <limits>

namespace bridge::ipc {

std::optional<Argument> decodeArgument(const nlohmann::json& value) {
    if (!value.is_array() || value.empty() || !value[0].is_string())
        return std::nullopt;
    const std::string& tag = value[0].get_ref<const std::string&>();
    Argument argument;
    if (value.size() == 1) {
        if (tag == "u")
            argument.kind = Argument::Kind::undefined;
        else if (tag == "null")
            argument.kind = Argument::Kind::null;
        else if (tag == "object")
            argument.kind = Argument::Kind::object;
        else
            return std::nullopt;
        return argument;
    }
    if (value.size() != 2)
        return std::nullopt;
    const nlohmann::json& payload = value[1];
    if (tag == "s" && payload.is_string()) {
        argument.kind = Argument::Kind::text;
        argument.text = payload.get<std::string>();
        return argument;
    }
    if (tag == "b" && payload.is_boolean()) {
        argument.kind = Argument::Kind::boolean;
        argument.boolean = payload.get<bool>();
        return argument;
    }
    if (tag != "n")
        return std::nullopt;
    argument.kind = Argument::Kind::number;
    if (payload.is_number()) {
        argument.number = payload.get<double>();
        return argument;
    }
    if (!payload.is_string())
        return std::nullopt;
    const std::string& special = payload.get_ref<const std::string&>();
    if (special == "NaN")
        argument.number = std::numeric_limits<double>::quiet_NaN();
    else if (special == "Infinity")
        argument.number = std::numeric_limits<double>::infinity();
    else if (special == "-Infinity")
        argument.number = -std::numeric_limits<double>::infinity();
    else
        return std::nullopt;
    return argument;
}

nlohmann::json textValue(const std::string& text) {
    return nlohmann::json::array({"s", text});
}

nlohmann::json numberValue(long long number) {
    return nlohmann::json::array({"n", number});
}

std::string dumpMessage(const nlohmann::json& message) {
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace bridge::ipc
