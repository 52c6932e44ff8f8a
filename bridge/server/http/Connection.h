// One accepted connection on the event thread: reads into its RequestReader, keeps its
// deadlines, sends blocking answers to the call threads and writes one answer at a time.
#pragma once

#include "bridge/server/http/Message.h"
#include "bridge/server/http/RequestReader.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <list>
#include <memory>
#include <string>

namespace bridge::server::http {

class Server;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Clock = std::chrono::steady_clock;

    Connection(Server& server, boost::asio::ip::tcp::socket socket);
    void start();
    void close();
    // For a server that stops: ends the connection unless a call of it is in flight, whose
    // answer then goes out and ends it.
    void closeUnlessWorking();

    // Waiting for a header block (a fresh connection, or one partly received), kept alive with
    // nothing sent, or anything else (reading a body, working, writing): the table drops the
    // oldest of the first kind first when full, then of the second.
    enum class Standing { awaitingHeader, idle, busy };
    Standing standing() const;
    Clock::time_point since() const { return since_; }

    std::list<std::shared_ptr<Connection>>::iterator entry; // its place in the server's table

private:
    void read();
    void received(std::size_t count);
    void handle(RequestReader::Step step);
    void work(Request request);
    void answered(Reply reply);
    void write(Reply reply);
    void written();
    void linger();
    void arm(Clock::duration within);
    void disarm();

    Server& server_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer timer_;
    RequestReader reader_;
    std::array<char, 4096> buffer_{};
    std::string out_;
    Clock::time_point since_;
    bool served_ = false;   // answered a request before
    bool reading_ = false;  // a read is pending
    bool working_ = false;  // a call thread has the request
    bool writing_ = false;
    bool closeAfter_ = false;
    bool lingering_ = false;
    bool closed_ = false;
    std::size_t discarded_ = 0; // read and dropped after a refusal
};

} // namespace bridge::server::http
