#include "bridge/server/CallService.h"

#include "bridge/policy/Policy.h"

namespace bridge::server {

CallService::CallService(std::vector<std::string> progIds, Approvals& approvals, WorkerPool& pool,
                         std::function<void(const std::string&)> log)
    : progIds_(std::move(progIds)), approvals_(approvals), pool_(pool), log_(std::move(log)) {}

// The worker asks here once it has resolved the page's member to a gated DISPID, so the
// decision never depends on how the page spelled the name. A refusal makes it answer "FALSE".
bool CallService::gate(const std::string& origin, const std::string& member, bool& confirmedInWorker) {
    if (!decryptLimiter_.tryConsume(origin)) {
        log_(std::string("origin ").append(origin).append(": ").append(member).append(" over its limit, answered FALSE"));
        return false;
    }
    if (!approvals_.preApproved(origin) && !confirmedInWorker) {
        if (!approvals_.confirmDecrypt(origin)) {
            log_(std::string("origin ").append(origin).append(": ").append(member)
                     .append(" not confirmed, answered FALSE"));
            return false;
        }
        confirmedInWorker = true;
    }
    return true;
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
    return pool_.call(*origin, request, [this, &origin](const std::string& member, bool& confirmed) {
        return gate(*origin, member, confirmed);
    });
}

} // namespace bridge::server
