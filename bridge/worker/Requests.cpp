#include "bridge/worker/Requests.h"

#include "bridge/worker/Channel.h"

#include "platform/crypto/ProviderLogins.h"

#include <dlfcn.h>

#include <cstdio>
#include <limits>

namespace bridge::worker {

namespace {

constexpr std::size_t kMaxGatedMembers = 8;
constexpr std::size_t kMaxGatedName = 64;

// The CryptoAPI layer's login functions, when a control has loaded it; without it no provider
// can have logged in.
void* cryptLayerSymbol(const char* name) {
    void* library = dlopen(kKorvanCryptLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* symbol = dlsym(library, name);
    dlclose(library); // still loaded: the controls hold it
    return symbol;
}

bool endTokenLogins() {
    auto end = reinterpret_cast<decltype(&korvanEndProviderLogins)>(cryptLayerSymbol("korvanEndProviderLogins"));
    return end == nullptr || end() != FALSE;
}

void announceTokenLogin() {
    auto take = reinterpret_cast<decltype(&korvanTakeProviderLogin)>(cryptLayerSymbol("korvanTakeProviderLogin"));
    DWORD msAgo = 0;
    if (take != nullptr && take(&msAgo) != FALSE)
        sendEvent(ipc::dumpMessage({{"event", "login"}, {"ageMs", msAgo}}));
}

Outcome gate(Controls& controls, const nlohmann::json& message) {
    const auto members = message.find("members");
    if (members == message.end() || !members->is_array() || members->size() > kMaxGatedMembers)
        return Outcome::failure(400, "bad request: no members");
    std::vector<std::string> names;
    for (const nlohmann::json& name : *members) {
        if (!name.is_string() || name.get_ref<const std::string&>().empty() ||
            name.get_ref<const std::string&>().size() > kMaxGatedName)
            return Outcome::failure(400, "bad request: malformed member name");
        names.push_back(name.get<std::string>());
    }
    controls.gate(std::move(names), askGate);
    return Outcome();
}

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
    if (*op == "gate")
        return gate(controls, message);
    if (*op == "logout")
        return endTokenLogins() ? Outcome() : Outcome::failure(500, "control failed");
    return Outcome::failure(400, "bad request: unknown op");
}

} // namespace

std::string answer(Controls& controls, const std::string& request) {
    Outcome outcome = dispatch(controls, request);
    announceTokenLogin();
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
