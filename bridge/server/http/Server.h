// The bridge's HTTP server: one event thread serving every connection on 127.0.0.1 and ::1 (or
// handed over by the machine's router, see RouterSocket.h), a bounded table of connections, and
// the call threads for answers that block.
#pragma once

#include "bridge/server/http/CallThreads.h"
#include "bridge/server/http/Handler.h"
#include "bridge/server/http/Limits.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bridge::server::http {

class Connection;

class Server {
public:
    Server(Limits limits, Handler& handler, std::function<void(const std::string&)> log);
    ~Server(); // stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds both loopback addresses at `port` (0: a free one) and starts serving; or, when
    // serveHandedOver() was called, serves what arrives on that unix socket and binds nothing.
    bool start(int port, std::string& error);
    int port() const { return port_; }
    // Whether it serves connections handed over on a unix socket rather than its own TCP ones.
    bool servesHandedOver() const { return handOver_ != nullptr; }
    // Closes the listeners and every connection without a call in flight at once, lets the
    // calls in flight answer (their connections close after), and ends within `grace`
    // whatever is left.
    void stop(std::chrono::milliseconds grace);

    // For the connections, on the event thread.
    boost::asio::io_context& io() { return io_; }
    const Limits& limits() const { return limits_; }
    Handler& handler() { return handler_; }
    CallThreads& calls() { return calls_; }
    bool stopping() const { return stopping_; }
    void forget(Connection& connection);
    void log(const std::string& line) const { log_(line); }

private:
    struct Acceptor {
        explicit Acceptor(boost::asio::io_context& io) : socket(io), retry(io) {}
        boost::asio::ip::tcp::acceptor socket;
        boost::asio::steady_timer retry;
    };

    struct HandOverState;
    struct PendingHandOver;

    void accept(Acceptor& acceptor);
    void acceptHandOver();
    void receiveHandOver(const std::shared_ptr<PendingHandOver>& pending);
    void admitHandedOver(int fd);
    void armIdle();
    void admit(boost::asio::ip::tcp::socket socket);
    bool makeRoom();
    void closeAll();

    Limits limits_;
    Handler& handler_;
    std::function<void(const std::string&)> log_;
    boost::asio::io_context io_{1};
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::vector<std::unique_ptr<Acceptor>> acceptors_;
    std::list<std::shared_ptr<Connection>> connections_;
    std::unique_ptr<HandOverState> handOver_; // router mode only
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex drainMutex_;
    std::condition_variable drained_;
    bool empty_ = false; // guarded by drainMutex_: stopping and no connection left
    int port_ = 0;
    CallThreads calls_; // last: its threads end before what they use goes
};

} // namespace bridge::server::http
