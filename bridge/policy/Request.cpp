#include "bridge/policy/Request.h"

#include <algorithm>
#include <charconv>

namespace bridge::policy {

namespace {

using nlohmann::json;

// Thrown from the parser callback to stop at the first sign of hostile input.
struct Refused {
    std::string reason;
};

ParsedRequest refuse(std::string_view reason) {
    return {std::nullopt, std::string("bad request: ").append(reason)};
}

bool printableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

// Decimal without sign or leading zero, at most 18 digits.
std::optional<std::uint64_t> parseSerial(std::string_view text) {
    if (text.empty() || text.size() > 18 || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::string> argumentError(const json& arg) {
    if (!arg.is_array() || arg.empty() || !arg[0].is_string())
        return "malformed argument";
    const std::string& tag = arg[0].get_ref<const std::string&>();
    const std::size_t size = arg.size();
    if (tag == "s")
        return size == 2 && arg[1].is_string() ? std::nullopt
                                               : std::optional<std::string>("malformed string argument");
    if (tag == "b")
        return size == 2 && arg[1].is_boolean() ? std::nullopt
                                                : std::optional<std::string>("malformed boolean argument");
    if (tag == "n") {
        if (size == 2 && arg[1].is_number())
            return std::nullopt;
        if (size == 2 && arg[1].is_string()) {
            const std::string& text = arg[1].get_ref<const std::string&>();
            if (text == "NaN" || text == "Infinity" || text == "-Infinity")
                return std::nullopt;
        }
        return "malformed number argument";
    }
    if (tag == "u" || tag == "null" || tag == "object")
        return size == 1 ? std::nullopt : std::optional<std::string>("malformed argument");
    return "unknown argument type";
}

bool allowedKey(const std::string& key, Request::Op op) {
    if (key == "v" || key == "op")
        return true;
    if (op == Request::Op::create)
        return key == "progId";
    return key == "object" || key == "member" || key == "args";
}

ParsedRequest parseCreate(const json& body, Request request) {
    const auto progId = body.find("progId");
    if (progId == body.end() || !progId->is_string())
        return refuse("progId must be a string");
    const std::string& text = progId->get_ref<const std::string&>();
    if (text.empty() || text.size() > kMaxProgIdLength || !printableAscii(text))
        return refuse("malformed progId");
    request.progId = text;
    return {std::move(request), {}};
}

ParsedRequest parseCall(const json& body, Request request) {
    const auto object = body.find("object");
    if (object == body.end() || !object->is_string())
        return refuse("object must be a string");
    const std::string& id = object->get_ref<const std::string&>();
    const std::size_t dot = id.find('.');
    const auto worker = parseSerial(std::string_view(id).substr(0, dot));
    const auto serial = dot == std::string::npos ? std::nullopt
                                                 : parseSerial(std::string_view(id).substr(dot + 1));
    if (!worker || !serial)
        return refuse("malformed object id");
    request.object = id;
    request.workerSerial = *worker;
    request.objectSerial = *serial;

    const auto member = body.find("member");
    if (member == body.end() || !member->is_string())
        return refuse("member must be a string");
    const std::string& name = member->get_ref<const std::string&>();
    if (name.empty() || name.size() > kMaxMemberNameLength || !printableAscii(name))
        return refuse("malformed member name");
    request.member = name;

    const auto args = body.find("args");
    if (args == body.end())
        return {std::move(request), {}};
    if (!args->is_array())
        return refuse("args must be an array");
    if (args->size() > kMaxArgs)
        return refuse("too many arguments");
    for (const json& arg : *args) {
        if (auto error = argumentError(arg))
            return refuse(*error);
    }
    request.args = *args;
    return {std::move(request), {}};
}

} // namespace

ParsedRequest parseRequest(std::string_view text) {
    json body;
    try {
        const json::parser_callback_t check = [](int depth, json::parse_event_t event, json& parsed) {
            // depth counts the containers around the one that starts.
            if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
                depth >= kMaxNesting)
                throw Refused{"nesting too deep"};
            if (event == json::parse_event_t::key && parsed.is_string() &&
                parsed.get_ref<const std::string&>().size() > kMaxMemberNameLength)
                throw Refused{"field name too long"};
            return true;
        };
        body = json::parse(text.begin(), text.end(), check);
    } catch (const Refused& refused) {
        return refuse(refused.reason);
    } catch (const json::exception&) {
        return refuse("malformed JSON");
    }

    if (!body.is_object())
        return refuse("the body must be a JSON object");
    const auto version = body.find("v");
    if (version == body.end())
        return refuse("missing version");
    if (!version->is_number_integer() || version->get<std::int64_t>() != kProtocolVersion)
        return refuse("unsupported version");
    const auto op = body.find("op");
    if (op == body.end() || !op->is_string())
        return refuse("op must be a string");

    Request request;
    const std::string& name = op->get_ref<const std::string&>();
    if (name == "create")
        request.op = Request::Op::create;
    else if (name == "call")
        request.op = Request::Op::call;
    else
        return refuse("unknown op");

    for (const auto& item : body.items()) {
        if (!allowedKey(item.key(), request.op))
            return refuse("unexpected field");
    }
    return request.op == Request::Op::create ? parseCreate(body, std::move(request))
                                             : parseCall(body, std::move(request));
}

} // namespace bridge::policy
