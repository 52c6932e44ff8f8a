// Raw bytes from a peer, arriving in pieces of a size the input chooses, through the HTTP core
// and the routes to the answers on the wire. Any request that reaches the call sink must be
// exactly what the screen lets through: one allowed Host, the call path, one plain-digits
// Content-Length equal to the body read, no Transfer-Encoding, within the size limit. An
// answer that leaves the connection open must have read its whole request.
#include "bridge/policy/Origin.h"
#include "bridge/server/http/Message.h"
#include "bridge/server/http/RequestReader.h"
#include "bridge/server/http/Routes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace bridge::server;

constexpr int kPort = 28561;

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

void checkCall(const http::Request& request, std::size_t maxBody) {
    require(request.method == "POST");
    require(std::string_view(request.target).substr(0, request.target.find('?')) == "/korvan/v1/call");
    require(request.count("Host") == 1 && bridge::policy::hostAllowed(request.value("Host"), kPort));
    require(request.count("Transfer-Encoding") == 0);
    require(request.count("Content-Length") == 1);
    const std::string length = request.value("Content-Length");
    require(!length.empty() && length.find_first_not_of("0123456789") == std::string::npos);
    require(length.size() <= 19 && std::stoull(length) == request.body.size());
    require(request.body.size() <= maxBody);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    http::Limits limits;
    limits.maxBody = 4096;
    http::RouteHooks hooks;
    hooks.port = [] { return kPort; };
    hooks.maxBody = limits.maxBody;
    hooks.refusedOutright = [](const std::string& origin) { return origin.size() % 2 == 1; };
    hooks.call = [](const std::optional<std::string>&, std::string_view body, std::string& subject) {
        subject = "fuzzed";
        return okAnswer({{"size", body.size()}});
    };
    hooks.log = [](const std::string&) {};
    http::Routes routes(hooks);
    http::RequestReader reader(limits, routes);

    bool open = true;
    for (std::size_t offset = 0; open && offset < bytes.size(); offset += piece) {
        http::RequestReader::Step step = reader.feed(bytes.substr(offset, piece));
        // Requests already received behind an answered one, each in turn.
        for (int round = 0; open && step != http::RequestReader::Step::more; ++round) {
            require(round < 10000);
            http::Reply reply;
            if (step == http::RequestReader::Step::request) {
                const http::Request request = reader.takeRequest();
                checkCall(request, limits.maxBody);
                reply = routes.answer(request);
                reply.close = reply.close || !request.keepAlive;
            } else {
                reply = reader.takeAnswer();
            }
            const std::string wire = http::wireText(reply);
            require(wire.rfind("HTTP/1.1 ", 0) == 0 && wire.find("\r\n\r\n") != std::string::npos);
            if (reply.close) {
                open = false;
                break;
            }
            reader.next();
            step = reader.feed({});
        }
    }
    return 0;
}
