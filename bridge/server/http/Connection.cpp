#include "bridge/server/http/Connection.h"

#include "bridge/server/Answer.h"
#include "bridge/server/http/Server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace bridge::server::http {

namespace {

// What is read and dropped after a refusal before the connection closes anyway: closing with
// unread bytes would reset the connection and could lose the answer on its way to the peer.
constexpr std::size_t kMaxDiscarded = 1 << 20;

} // namespace

Connection::Connection(Server& server, boost::asio::ip::tcp::socket socket)
    : server_(server), socket_(std::move(socket)), timer_(server.io()), reader_(server.limits(), server.handler()),
      since_(Clock::now()) {}

void Connection::start() {
    arm(server_.limits().headerTime);
    read();
}

Connection::Standing Connection::standing() const {
    if (working_ || writing_ || lingering_ || reader_.phase() == RequestReader::Phase::body ||
        reader_.phase() == RequestReader::Phase::done)
        return Standing::busy;
    return served_ && reader_.phase() == RequestReader::Phase::idle ? Standing::idle : Standing::awaitingHeader;
}

void Connection::arm(Clock::duration within) {
    timer_.expires_after(within);
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        // A deadline moved meanwhile cancels this wait; one that passed ends the connection.
        if (!ec && !self->closed_ && self->timer_.expiry() <= Clock::now())
            self->close();
    });
}

void Connection::disarm() {
    timer_.cancel();
}

void Connection::close() {
    if (closed_)
        return;
    closed_ = true;
    disarm();
    boost::system::error_code ignored;
    socket_.close(ignored);
    server_.forget(*this);
}

void Connection::closeUnlessWorking() {
    if (!working_ && !writing_)
        close();
}

void Connection::read() {
    if (reading_ || closed_ || !reader_.wantsBytes())
        return;
    reading_ = true;
    socket_.async_read_some(boost::asio::buffer(buffer_),
                            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t count) {
                                self->reading_ = false;
                                if (self->closed_)
                                    return;
                                if (ec)
                                    self->close();
                                else if (self->lingering_)
                                    self->linger();
                                else
                                    self->received(count);
                            });
}

void Connection::received(std::size_t count) {
    const RequestReader::Phase before = reader_.phase();
    const RequestReader::Step step = reader_.feed(std::string_view(buffer_.data(), count));
    if (before == RequestReader::Phase::idle && reader_.phase() == RequestReader::Phase::header) {
        since_ = Clock::now();
        if (served_)
            arm(server_.limits().headerTime); // a fresh connection's clock runs from its accept
    }
    if (before != RequestReader::Phase::body && reader_.phase() == RequestReader::Phase::body)
        arm(server_.limits().bodyTime);
    handle(step);
}

void Connection::handle(RequestReader::Step step) {
    switch (step) {
    case RequestReader::Step::more:
        if (reader_.wantsBytes())
            read();
        break;
    case RequestReader::Step::answer:
        write(reader_.takeAnswer());
        break;
    case RequestReader::Step::request:
        work(reader_.takeRequest());
        break;
    }
}

void Connection::work(Request request) {
    disarm(); // a call keeps its own budget
    working_ = true;
    const bool keepAlive = request.keepAlive;
    auto shared = std::make_shared<Request>(std::move(request));
    const bool running = server_.calls().run([self = shared_from_this(), shared, keepAlive]() mutable {
        Reply reply;
        try {
            reply = self->server_.handler().answer(*shared);
        } catch (...) {
            reply = self->server_.handler().refusal(500, errors::controlFailed, *shared);
        }
        reply.close = reply.close || !keepAlive;
        // The connection is handed back whole, so that it always ends on the event thread.
        boost::asio::io_context& io = self->server_.io();
        boost::asio::post(io, [self = std::move(self), reply = std::move(reply)]() mutable {
            self->answered(std::move(reply));
        });
    });
    if (!running) {
        working_ = false;
        Reply busy = server_.handler().refusal(503, errors::tooManyWaiting, *shared);
        busy.close = true;
        server_.log("too many calls in flight: refused one");
        write(std::move(busy));
    }
}

void Connection::answered(Reply reply) {
    working_ = false;
    if (closed_)
        return;
    write(std::move(reply));
}

void Connection::write(Reply reply) {
    closeAfter_ = reply.close || server_.stopping();
    reply.close = closeAfter_;
    out_ = wireText(reply);
    writing_ = true;
    arm(server_.limits().bodyTime); // a peer that never reads does not keep the answer forever
    boost::asio::async_write(socket_, boost::asio::buffer(out_),
                             [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                                 self->writing_ = false;
                                 std::string().swap(self->out_);
                                 if (self->closed_)
                                     return;
                                 if (ec)
                                     self->close();
                                 else
                                     self->written();
                             });
}

void Connection::written() {
    if (closeAfter_ || server_.stopping()) {
        linger();
        return;
    }
    served_ = true;
    reader_.next();
    since_ = Clock::now();
    arm(reader_.phase() == RequestReader::Phase::idle ? server_.limits().idleTime : server_.limits().headerTime);
    // A request already received behind this one (pipelined) goes on now.
    handle(reader_.feed({}));
}

void Connection::linger() {
    if (!lingering_) {
        lingering_ = true;
        boost::system::error_code ignored;
        socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
        if (server_.stopping()) {
            close();
            return;
        }
        arm(server_.limits().lingerTime);
    } else {
        discarded_ += buffer_.size();
    }
    if (discarded_ > kMaxDiscarded) {
        close();
        return;
    }
    if (reading_)
        return;
    reading_ = true;
    socket_.async_read_some(boost::asio::buffer(buffer_),
                            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                                self->reading_ = false;
                                if (self->closed_)
                                    return;
                                if (ec)
                                    self->close(); // the peer has closed too
                                else
                                    self->linger();
                            });
}

} // namespace bridge::server::http
