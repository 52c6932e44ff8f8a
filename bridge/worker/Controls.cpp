#include "bridge/worker/Controls.h"

#include "bridge/worker/Conversion.h"

#include "platform/AsciiCase.h"
#include "platform/com/Utf16.h"

#include <objbase.h>
#include <objsafe.h>
#include <oleauto.h>

#include <cstdio>
#include <optional>

namespace bridge::worker {

namespace {

constexpr const char* kControlFailed = "control failed";

unsigned hex(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

// A ProgID as the request gave it, fit for one log line: control characters become '?'.
std::string loggable(const std::string& text) {
    std::string line = text.substr(0, 200);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return line;
}

// The object must declare itself safe for untrusted callers and accept being put in that mode;
// it is never told that its data is safe.
bool madeSafeForScripting(IDispatch* dispatch, const std::string& progId) {
    ComRef<IObjectSafety> safety;
    HRESULT hr = dispatch->QueryInterface(IID_IObjectSafety, safety.putVoid());
    if (FAILED(hr) || !safety) {
        std::fprintf(stderr, "korvan-bridge-worker: %s is not safe for scripting (no IObjectSafety, 0x%08X)\n",
                     progId.c_str(), hex(hr));
        return false;
    }
    DWORD supported = 0;
    DWORD enabled = 0;
    hr = safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    if (FAILED(hr) || (supported & INTERFACESAFE_FOR_UNTRUSTED_CALLER) == 0) {
        std::fprintf(stderr,
                     "korvan-bridge-worker: %s is not safe for scripting (options 0x%X, 0x%08X)\n",
                     progId.c_str(), static_cast<unsigned>(supported), hex(hr));
        return false;
    }
    hr = safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                           INTERFACESAFE_FOR_UNTRUSTED_CALLER);
    if (hr != S_OK) {
        std::fprintf(stderr, "korvan-bridge-worker: %s is not safe for scripting (set 0x%08X)\n",
                     progId.c_str(), hex(hr));
        return false;
    }
    return true;
}

} // namespace

Outcome Outcome::failure(int status, std::string error) {
    Outcome outcome;
    outcome.ok = false;
    outcome.status = status;
    outcome.error = std::move(error);
    return outcome;
}

Outcome Controls::create(const std::string& progId) {
    if (objects_.size() >= kMaxObjects) {
        std::fprintf(stderr, "korvan-bridge-worker: create %s refused: %zu objects live\n",
                     loggable(progId).c_str(), objects_.size());
        return Outcome::failure(503, kControlFailed);
    }
    const std::u16string wide = platform::utf16FromUtf8(progId);
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid);
    Object object;
    object.progId = progId;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.dispatch.putVoid());
    if (FAILED(hr) || !object.dispatch) {
        std::fprintf(stderr, "korvan-bridge-worker: create %s failed: 0x%08X\n", loggable(progId).c_str(), hex(hr));
        return Outcome::failure(404, std::string("ProgID not registered: ").append(progId));
    }
    if (!madeSafeForScripting(object.dispatch.get(), progId))
        return Outcome::failure(500, kControlFailed);
    std::vector<std::string> skipped;
    if (!readMembers(object.dispatch.get(), object.members, skipped)) {
        std::fprintf(stderr, "korvan-bridge-worker: %s has no readable type information\n", progId.c_str());
        return Outcome::failure(500, kControlFailed);
    }
    for (const std::string& name : skipped)
        std::fprintf(stderr, "korvan-bridge-worker: %s.%s left out: a parameter is neither BSTR nor long\n",
                     progId.c_str(), name.c_str());

    Outcome outcome;
    const long long serial = ++lastSerial_;
    nlohmann::json members = nlohmann::json::array();
    for (const Member& member : object.members) {
        nlohmann::json params = nlohmann::json::array();
        for (ParamType type : member.params)
            params.push_back(paramTypeName(type));
        members.push_back({{"name", member.name}, {"params", std::move(params)}});
    }
    outcome.fields["object"] = serial;
    outcome.fields["members"] = std::move(members);
    objects_.emplace(serial, std::move(object));
    std::fprintf(stderr, "korvan-bridge-worker: created %s as object %lld\n", progId.c_str(), serial);
    return outcome;
}

void Controls::gate(std::vector<std::string> members, GateAsk ask) {
    gated_ = std::move(members);
    ask_ = std::move(ask);
}

// Every name the type information gives the DISPID counts, so no spelling or alias escapes.
const std::string* Controls::gatedName(const Object& object, DISPID id) const {
    for (const Member& member : object.members) {
        if (member.id != id)
            continue;
        for (const std::string& name : gated_)
            if (platform::sameAsciiNoCase(member.name, name))
                return &name;
    }
    return nullptr;
}

Outcome Controls::call(long long objectId, const std::string& memberName, const nlohmann::json& args) {
    const auto found = objects_.find(objectId);
    if (found == objects_.end())
        return Outcome::failure(410, "the control was released; create it again");
    Object& object = found->second;
    const Member* member = findMember(object.members, memberName);
    if (member == nullptr)
        return Outcome::failure(404, std::string("no such member: ").append(memberName));
    const std::size_t expected = member->params.size();
    if (args.size() != expected)
        return Outcome::failure(400, std::string("bad request: ")
                                         .append(member->name)
                                         .append(" takes ")
                                         .append(std::to_string(expected))
                                         .append(expected == 1 ? " argument" : " arguments"));
    std::vector<Variant> converted;
    converted.reserve(expected);
    for (std::size_t i = 0; i < expected; ++i) {
        const std::optional<ipc::Argument> argument = ipc::decodeArgument(args[i]);
        if (!argument)
            return Outcome::failure(400, "bad request: malformed argument");
        std::string why;
        std::optional<Variant> param = toParam(*argument, member->params[i], why);
        if (!param)
            return Outcome::failure(400, std::string("bad request: ")
                                             .append(member->name)
                                             .append(" argument ")
                                             .append(std::to_string(i + 1))
                                             .append(": ")
                                             .append(why));
        converted.push_back(std::move(*param));
    }
    if (const std::string* gated = gatedName(object, member->id)) {
        if (!ask_ || !ask_(*gated)) {
            std::fprintf(stderr, "korvan-bridge-worker: %s.%s on object %lld refused by the bridge\n",
                         object.progId.c_str(), member->name.c_str(), objectId);
            Outcome refused;
            refused.fields["value"] = ipc::textValue("FALSE");
            return refused;
        }
    }
    std::vector<VARIANT> params;
    params.reserve(converted.size());
    // DISPPARAMS lists arguments last to first; the values are borrowed, the Variants free them.
    for (auto it = converted.rbegin(); it != converted.rend(); ++it)
        params.push_back(it->get());
    DISPPARAMS dispParams{params.empty() ? nullptr : params.data(), nullptr, static_cast<UINT>(params.size()), 0};
    Variant result;
    EXCEPINFO exception{};
    UINT argError = 0;
    const HRESULT hr = object.dispatch->Invoke(member->id, IID_NULL, 0x409, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                               &dispParams, &result.get(), &exception, &argError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    std::fprintf(stderr, "korvan-bridge-worker: %s.%s on object %lld: 0x%08X\n", object.progId.c_str(),
                 member->name.c_str(), objectId, hex(hr));
    Outcome outcome;
    nlohmann::json value = fromResult(result.get());
    if (!value.is_null())
        outcome.fields["value"] = std::move(value);
    return outcome;
}

} // namespace bridge::worker
