// The protocol core of one connection, free of sockets: bytes in, one request or one answer
// out at a time. The screen runs once the header block is in, so a refusal never waits for a
// body; an answer given before the body was read ends the connection, so that no unread body
// can be taken for a next request.
#pragma once

#include "bridge/server/http/Handler.h"
#include "bridge/server/http/Limits.h"
#include "bridge/server/http/Message.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace bridge::server::http {

class RequestReader {
public:
    enum class Step {
        more,    // waiting for bytes
        request, // takeRequest(): a whole request for Handler::answer
        answer,  // takeAnswer(): an answer decided here or by the screen
    };
    enum class Phase { idle, header, body, done };

    RequestReader(const Limits& limits, Handler& handler);

    // Adds bytes from the peer (empty: go on with the ones kept) and parses as far as the
    // current request goes. Bytes past it are kept for the next one.
    Step feed(std::string_view bytes);
    Phase phase() const { return phase_; }
    // Whether the caller should read more: false while a request or answer is out, or once
    // the kept bytes reach the header bound.
    bool wantsBytes() const;

    Request takeRequest();
    Reply takeAnswer();
    // After the request's answer went out on a connection that stays open.
    void next();

private:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    Step refuse(int status, const std::string& text);
    Step headerDone();
    Step finish(Reply reply);
    Request headOf() const;

    const Limits& limits_;
    Handler& handler_;
    std::optional<Parser> parser_;
    std::string kept_;
    Phase phase_ = Phase::idle;
    std::optional<Request> request_;
    std::optional<Reply> answer_;
};

} // namespace bridge::server::http
