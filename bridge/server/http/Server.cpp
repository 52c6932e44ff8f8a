#include "bridge/server/http/Server.h"

#include "bridge/server/PeerUid.h"
#include "bridge/server/http/Connection.h"
#include "bridge/server/http/Listener.h"

#include <boost/asio/post.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bridge::server::http {

namespace {

// Each connection is a descriptor; the default soft limit of 1024 would stop the bridge far
// below the connections it allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

Server::Server(Limits limits, Handler& handler, std::function<void(const std::string&)> log)
    : limits_(limits), handler_(handler), log_(std::move(log)), calls_(limits.maxCallsInFlight) {}

Server::~Server() {
    stop(std::chrono::milliseconds(0));
}

bool Server::start(int port, std::string& error) {
    if (thread_.joinable()) {
        error = "the bridge is already serving";
        return false;
    }
    raiseDescriptorLimit();
    LoopbackSockets sockets;
    if (!listenOnLoopback(port, sockets, error, log_))
        return false;
    auto adopt = [this](UniqueFd& fd, const boost::asio::ip::tcp& protocol) {
        if (fd.get() < 0)
            return;
        auto acceptor = std::make_unique<Acceptor>(io_);
        acceptor->socket.assign(protocol, fd.release());
        acceptors_.push_back(std::move(acceptor));
    };
    adopt(sockets.v4, boost::asio::ip::tcp::v4());
    adopt(sockets.v6, boost::asio::ip::tcp::v6());
    port_ = sockets.port;
    for (auto& acceptor : acceptors_)
        accept(*acceptor);
    work_.emplace(io_.get_executor());
    thread_ = std::thread([this] { io_.run(); });
    return true;
}

void Server::accept(Acceptor& acceptor) {
    acceptor.socket.async_accept([this, &acceptor](const boost::system::error_code& ec,
                                                   boost::asio::ip::tcp::socket socket) {
        if (stopping_ || ec == boost::asio::error::operation_aborted)
            return;
        if (!ec) {
            admit(std::move(socket));
            accept(acceptor);
            return;
        }
        // Out of descriptors most likely: make room, and try again shortly rather than spin.
        makeRoom();
        acceptor.retry.expires_after(std::chrono::milliseconds(50));
        acceptor.retry.async_wait([this, &acceptor](const boost::system::error_code& waited) {
            if (!waited && !stopping_)
                accept(acceptor);
        });
    });
}

void Server::admit(boost::asio::ip::tcp::socket socket) {
    // Every user of the machine reaches loopback; only the bridge's own uid is served, and
    // nothing of another's is read.
    const std::optional<uid_t> peer = peerUid(socket.native_handle());
    if (!peer || *peer != ::getuid()) {
        log_(std::string("connection from ").append(peer ? describeUid(*peer) : "an unknown user").append(" refused"));
        return; // the socket closes here
    }
    if (connections_.size() >= limits_.maxConnections && !makeRoom())
        return;
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(*this, std::move(socket));
    connections_.push_front(connection);
    connection->entry = connections_.begin();
    connection->start();
}

bool Server::makeRoom() {
    // The oldest connection still waiting for its header block, then the oldest idle one.
    for (const Connection::Standing wanted : {Connection::Standing::awaitingHeader, Connection::Standing::idle}) {
        std::shared_ptr<Connection> oldest;
        for (const auto& connection : connections_)
            if (connection->standing() == wanted && (!oldest || connection->since() < oldest->since()))
                oldest = connection;
        if (oldest) {
            oldest->close();
            return true;
        }
    }
    return false;
}

void Server::forget(Connection& connection) {
    connections_.erase(connection.entry);
    if (stopping_ && connections_.empty()) {
        std::lock_guard lock(drainMutex_);
        empty_ = true;
        drained_.notify_all();
    }
}

void Server::closeAll() {
    const std::list<std::shared_ptr<Connection>> all = connections_;
    for (const auto& connection : all)
        connection->closeUnlessWorking();
    if (connections_.empty()) {
        std::lock_guard lock(drainMutex_);
        empty_ = true;
        drained_.notify_all();
    }
}

void Server::stop(std::chrono::milliseconds grace) {
    if (!thread_.joinable())
        return;
    boost::asio::post(io_, [this] {
        stopping_ = true;
        for (auto& acceptor : acceptors_) {
            boost::system::error_code ignored;
            acceptor->retry.cancel();
            acceptor->socket.close(ignored);
        }
        closeAll();
    });
    {
        std::unique_lock lock(drainMutex_);
        drained_.wait_for(lock, grace, [this] { return empty_; });
    }
    io_.stop();
    thread_.join();
    // The calls still running end with the pool's shutdown; their answers have nowhere to go.
    calls_.stop();
    stopping_ = true;
    work_.reset();
    connections_.clear();
    acceptors_.clear();
}

} // namespace bridge::server::http
