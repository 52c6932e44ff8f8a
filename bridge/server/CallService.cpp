#include "bridge/server/CallService.h"

#include "bridge/ipc/Values.h"
#include "bridge/policy/Policy.h"

#include <algorithm>
#include <cctype>

namespace bridge::server {

namespace {

constexpr const char* kDecryptMember = "DecryByPrikey";

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

CallService::CallService(std::vector<std::string> progIds, Approvals& approvals, WorkerPool& pool,
                         std::function<void(const std::string&)> log)
    : progIds_(std::move(progIds)), approvals_(approvals), pool_(pool), log_(std::move(log)) {}

std::optional<Answer> CallService::gateDecrypt(const std::string& origin, bool& confirmedInWorker) {
    const Answer refused = okAnswer({{"value", ipc::textValue("FALSE")}});
    if (!decryptLimiter_.tryConsume(origin)) {
        log_(std::string("origin ").append(origin).append(": ").append(kDecryptMember)
                 .append(" over its limit, answered FALSE"));
        return refused;
    }
    if (!approvals_.preApproved(origin) && !confirmedInWorker) {
        if (!approvals_.confirmDecrypt(origin)) {
            log_(std::string("origin ").append(origin).append(": ").append(kDecryptMember)
                     .append(" not confirmed, answered FALSE"));
            return refused;
        }
        confirmedInWorker = true;
    }
    return std::nullopt;
}

Answer CallService::call(const std::optional<std::string>& origin, std::string_view body, std::string& subject) {
    if (!origin)
        return errorAnswer(403, errors::notApproved);
    const policy::ParsedRequest parsed = policy::parseRequest(body);
    if (!parsed)
        return errorAnswer(400, parsed.error);
    const policy::Request& request = *parsed.request;
    subject = request.op == policy::Request::Op::create
                  ? std::string("create ").append(request.progId)
                  : std::string("call ").append(request.object).append(" ").append(request.member);
    if (!approvals_.approved(*origin))
        return errorAnswer(403, errors::notApproved);
    if (request.op == policy::Request::Op::create) {
        if (!policy::progIdListed(progIds_, request.progId))
            return errorAnswer(404, std::string("ProgID not registered: ").append(request.progId));
        return pool_.create(*origin, request.progId);
    }
    BeforeCall before;
    if (sameNameIgnoringCase(request.member, kDecryptMember))
        before = [this, &origin](bool& confirmed) { return gateDecrypt(*origin, confirmed); };
    return pool_.call(*origin, request, before);
}

} // namespace bridge::server
