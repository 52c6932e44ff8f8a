#include "bridge/server/http/Server.h"

#include "bridge/server/PeerUid.h"
#include "bridge/server/http/Connection.h"
#include "bridge/server/http/Listener.h"
#include "bridge/server/http/RouterSocket.h"

#include <boost/asio/local/stream_protocol.hpp>
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

// Unix connections waiting for their hand-over at once; only the router reaches the socket, and
// it sends at once, so more mean something is wrong.
constexpr std::size_t kMaxPendingHandOvers = 64;

} // namespace

struct Server::HandOverState {
    explicit HandOverState(boost::asio::io_context& io) : acceptor(io), retry(io), idleTimer(io) {}
    boost::asio::local::stream_protocol::acceptor acceptor;
    boost::asio::steady_timer retry;
    boost::asio::steady_timer idleTimer;
    std::chrono::seconds idle{0};
    std::function<void()> onIdle;
    std::size_t pending = 0;
    std::list<std::weak_ptr<PendingHandOver>> waiting; // to close them when stopping
};

struct Server::PendingHandOver {
    PendingHandOver(boost::asio::local::stream_protocol::socket s, boost::asio::io_context& io)
        : socket(std::move(s)), deadline(io) {}
    boost::asio::local::stream_protocol::socket socket;
    boost::asio::steady_timer deadline;
    std::list<std::weak_ptr<PendingHandOver>>::iterator entry;
    bool done = false;
};

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
    if (std::optional<HandOver> handOver = takeHandOver()) {
        handOver_ = std::make_unique<HandOverState>(io_);
        boost::system::error_code failed;
        handOver_->acceptor.assign(boost::asio::local::stream_protocol(), handOver->socket.release(), failed);
        if (failed) {
            error = std::string("cannot serve the unix socket: ").append(failed.message());
            handOver_.reset();
            return false;
        }
        handOver_->idle = handOver->idle;
        handOver_->onIdle = std::move(handOver->onIdle);
        port_ = handOver->port;
        acceptHandOver();
        armIdle();
        work_.emplace(io_.get_executor());
        thread_ = std::thread([this] { io_.run(); });
        return true;
    }
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

void Server::acceptHandOver() {
    handOver_->acceptor.async_accept([this](const boost::system::error_code& ec,
                                            boost::asio::local::stream_protocol::socket socket) {
        if (stopping_ || ec == boost::asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors most likely, as for the TCP listeners.
            makeRoom();
            handOver_->retry.expires_after(std::chrono::milliseconds(50));
            handOver_->retry.async_wait([this](const boost::system::error_code& waited) {
                if (!waited && !stopping_)
                    acceptHandOver();
            });
            return;
        }
        if (handOver_->pending >= kMaxPendingHandOvers) {
            log_("a unix connection refused: too many wait for their hand-over");
        } else {
            auto pending = std::make_shared<PendingHandOver>(std::move(socket), io_);
            ++handOver_->pending;
            handOver_->idleTimer.cancel();
            handOver_->waiting.push_front(pending);
            pending->entry = handOver_->waiting.begin();
            pending->deadline.expires_after(kHandOverWait);
            pending->deadline.async_wait([this, pending](const boost::system::error_code& waited) {
                if (waited || pending->done)
                    return;
                log_("a unix connection sent no hand-over in time: closed");
                boost::system::error_code ignored;
                pending->socket.close(ignored); // ends the wait below with an error
            });
            receiveHandOver(pending);
        }
        acceptHandOver();
    });
}

void Server::receiveHandOver(const std::shared_ptr<PendingHandOver>& pending) {
    pending->socket.async_wait(boost::asio::socket_base::wait_read,
                               [this, pending](const boost::system::error_code& ec) {
        if (pending->done)
            return;
        UniqueFd connection;
        std::string why = "the unix connection ended";
        Received received = Received::refused;
        if (!ec && !stopping_) {
            received = receiveHandedOver(pending->socket.native_handle(), connection, why);
            if (received == Received::notYet) {
                receiveHandOver(pending);
                return;
            }
        }
        pending->done = true;
        pending->deadline.cancel();
        boost::system::error_code ignored;
        pending->socket.close(ignored);
        handOver_->waiting.erase(pending->entry);
        --handOver_->pending;
        if (stopping_)
            return;
        if (received == Received::connection)
            admitHandedOver(connection.release());
        else if (!ec)
            log_(std::string("hand-over refused: ").append(why));
        if (connections_.empty())
            armIdle();
    });
}

void Server::admitHandedOver(int fd) {
    UniqueFd owned(fd);
    std::string why;
    if (!loopbackTcpConnection(fd, why)) {
        log_(std::string("hand-over refused: ").append(why));
        return;
    }
    int domain = AF_INET;
    socklen_t length = sizeof domain;
    ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
    boost::asio::ip::tcp::socket socket(io_);
    boost::system::error_code failed;
    socket.assign(domain == AF_INET6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4(), owned.get(), failed);
    if (failed)
        return;
    owned.release();
    // From here on exactly the path of a connection the server accepted itself.
    admit(std::move(socket));
}

// In router mode the process ends once nothing has come for the idle time: systemd keeps the
// socket and starts it again at the next connection.
void Server::armIdle() {
    if (!handOver_ || !handOver_->onIdle || stopping_ || !connections_.empty() || handOver_->pending != 0)
        return;
    handOver_->idleTimer.expires_after(handOver_->idle);
    handOver_->idleTimer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec && !stopping_ && connections_.empty() && handOver_->pending == 0)
            handOver_->onIdle();
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
    if (handOver_)
        handOver_->idleTimer.cancel();
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
    if (connections_.empty())
        armIdle();
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
        if (handOver_) {
            boost::system::error_code ignored;
            handOver_->acceptor.close(ignored);
            handOver_->retry.cancel();
            handOver_->idleTimer.cancel();
            for (const auto& waiting : handOver_->waiting)
                if (const auto pending = waiting.lock())
                    pending->socket.close(ignored);
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
    handOver_.reset();
}

} // namespace bridge::server::http
