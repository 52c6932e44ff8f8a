#include "bridge/server/http/RequestReader.h"

#include "bridge/server/Answer.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>

#include <limits>

namespace bridge::server::http {

namespace beast_http = boost::beast::http;

namespace {

// A Content-Length of plain digits too long for the parser's integer: a body too large, as
// the screen would have said, rather than a malformed one.
bool overlongLength(std::string_view header) {
    constexpr std::string_view name = "\ncontent-length:";
    for (std::size_t at = 0; at + name.size() <= header.size(); ++at) {
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            char c = header[at + i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            same = c == name[i];
        }
        if (!same)
            continue;
        std::string_view value = header.substr(at + name.size());
        value = value.substr(0, value.find('\r'));
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        return value.size() > 19 && value.find_first_not_of("0123456789") == std::string_view::npos;
    }
    return false;
}

} // namespace

RequestReader::RequestReader(const Limits& limits, Handler& handler) : limits_(limits), handler_(handler) {
    next();
}

void RequestReader::next() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
    // Unbounded until the screen has seen the length: it refuses one too large, after the Host.
    // (Boost 1.74 takes boost::none for a limit below every length, so the largest it is.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    parser_->eager(false); // stop after the header block, so that the screen comes first
    request_.reset();
    answer_.reset();
    phase_ = kept_.empty() ? Phase::idle : Phase::header;
}

bool RequestReader::wantsBytes() const {
    return phase_ != Phase::done && kept_.size() <= limits_.maxHeaderBytes;
}

Request RequestReader::takeRequest() {
    Request taken = std::move(*request_);
    request_.reset();
    return taken;
}

Reply RequestReader::takeAnswer() {
    Reply taken = std::move(*answer_);
    answer_.reset();
    return taken;
}

Request RequestReader::headOf() const {
    const auto& message = parser_->get();
    Request head;
    head.method = std::string(message.method_string());
    head.target = std::string(message.target());
    head.version = message.version();
    head.keepAlive = message.keep_alive();
    for (const auto& field : message)
        head.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return head;
}

RequestReader::Step RequestReader::finish(Reply reply) {
    answer_ = std::move(reply);
    phase_ = Phase::done;
    return Step::answer;
}

RequestReader::Step RequestReader::refuse(int status, const std::string& text) {
    Reply reply = handler_.refusal(status, text, headOf());
    // What follows a request that could not be read is no request.
    reply.close = true;
    return finish(std::move(reply));
}

RequestReader::Step RequestReader::headerDone() {
    Request head = headOf();
    if (head.fields.size() + 1 > limits_.maxHeaderLines)
        return refuse(431, textForStatus(431));
    if ((head.version != 10 && head.version != 11) || parser_->get().method() == beast_http::verb::unknown)
        return refuse(400, textForStatus(400));
    // A body that may follow and is not read now would be taken for the next request.
    const bool readsNoBody = head.method == "GET" || head.method == "HEAD" || head.method == "OPTIONS";
    const bool bodyMayFollow = !parser_->is_done() || head.count("Transfer-Encoding") > 0 ||
                               (head.count("Content-Length") == 0 && !readsNoBody);
    if (std::optional<Reply> early = handler_.screen(head)) {
        early->close = early->close || bodyMayFollow || !head.keepAlive;
        return finish(std::move(*early));
    }
    if (parser_->is_done()) {
        request_ = std::move(head);
        phase_ = Phase::done;
        return Step::request;
    }
    parser_->body_limit(limits_.maxBody);
    phase_ = Phase::body;
    return feed({});
}

RequestReader::Step RequestReader::feed(std::string_view bytes) {
    kept_.append(bytes);
    if (phase_ == Phase::done)
        return request_ ? Step::request : answer_ ? Step::answer : Step::more;
    if (kept_.empty())
        return Step::more;
    boost::beast::error_code ec;
    if (phase_ == Phase::idle || phase_ == Phase::header) {
        phase_ = Phase::header;
        const std::size_t used = parser_->put(boost::asio::buffer(kept_), ec);
        if (ec == beast_http::error::bad_content_length && overlongLength(kept_))
            return refuse(413, errors::tooLarge);
        kept_.erase(0, used);
        if (ec == beast_http::error::need_more) {
            if (kept_.size() > limits_.maxHeaderBytes)
                return refuse(431, textForStatus(431));
            return Step::more;
        }
        if (ec == beast_http::error::header_limit)
            return refuse(431, textForStatus(431));
        if (ec == beast_http::error::bad_content_length)
            return refuse(400, "bad request: malformed Content-Length");
        if (ec == beast_http::error::bad_transfer_encoding)
            return refuse(411, "bad request: the body needs a Content-Length");
        if (ec || !parser_->is_header_done())
            return refuse(400, textForStatus(400));
        return headerDone();
    }
    // The body: at most its declared length, the rest stays for the next request.
    while (!kept_.empty() && !parser_->is_done()) {
        const std::size_t used = parser_->put(boost::asio::buffer(kept_), ec);
        kept_.erase(0, used);
        if (ec == beast_http::error::need_more)
            break;
        if (ec == beast_http::error::body_limit)
            return refuse(413, errors::tooLarge);
        if (ec)
            return refuse(400, textForStatus(400));
        if (used == 0)
            break;
    }
    if (!parser_->is_done())
        return Step::more;
    Request request = headOf();
    request.body = std::move(parser_->get().body());
    request_ = std::move(request);
    phase_ = Phase::done;
    return Step::request;
}

} // namespace bridge::server::http
