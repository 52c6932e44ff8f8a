#include "bridge/worker/Requests.h"

#include <cstdio>
#include <limits>

namespace bridge::worker {

namespace {

Outcome dispatch(Controls& controls, const std::string& request) {
    const nlohmann::json message = nlohmann::json::parse(request, nullptr, false);
    if (message.is_discarded() || !message.is_object())
        return Outcome::failure(400, "bad request: malformed JSON");
    const auto op = message.find("op");
    if (op == message.end() || !op->is_string())
        return Outcome::failure(400, "bad request: no op");
    if (*op == "create") {
        const auto progId = message.find("progId");
        if (progId == message.end() || !progId->is_string() || progId->get_ref<const std::string&>().empty())
            return Outcome::failure(400, "bad request: no progId");
        return controls.create(progId->get<std::string>());
    }
    if (*op == "call") {
        const auto object = message.find("object");
        const auto member = message.find("member");
        const auto args = message.find("args");
        if (object == message.end() || !object->is_number_integer())
            return Outcome::failure(400, "bad request: no object");
        if (member == message.end() || !member->is_string())
            return Outcome::failure(400, "bad request: no member");
        if (args != message.end() && !args->is_array())
            return Outcome::failure(400, "bad request: args is not a list");
        // An unsigned number beyond the signed range names no object.
        const long long serial = object->is_number_unsigned() &&
                                         object->get<unsigned long long>() >
                                             static_cast<unsigned long long>(std::numeric_limits<long long>::max())
                                     ? 0
                                     : object->get<long long>();
        return controls.call(serial, member->get<std::string>(),
                             args == message.end() ? nlohmann::json::array() : *args);
    }
    return Outcome::failure(400, "bad request: unknown op");
}

} // namespace

std::string answer(Controls& controls, const std::string& request) {
    Outcome outcome = dispatch(controls, request);
    nlohmann::json reply = outcome.ok ? std::move(outcome.fields) : nlohmann::json::object();
    reply["ok"] = outcome.ok;
    if (!outcome.ok) {
        reply["status"] = outcome.status;
        reply["error"] = outcome.error;
        std::fprintf(stderr, "korvan-bridge-worker: refused with %d\n", outcome.status);
    }
    return ipc::dumpMessage(reply);
}

} // namespace bridge::worker
