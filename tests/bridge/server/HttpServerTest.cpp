// The event-driven server with small limits and a handler of its own: which connection goes
// when the table is full, the header and idle deadlines, pipelined requests answered in
// order, and calls beyond the thread cap refused.
#include "bridge/server/WorkerProcess.h"
#include "bridge/server/http/Server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace bridge::server;
using namespace std::chrono_literals;

namespace {

// GET answers at once with the path; POST /slow waits until released.
class TestHandler : public http::Handler {
public:
    std::optional<http::Reply> screen(const http::Request& head) override {
        if (head.method == "POST")
            return std::nullopt;
        http::Reply reply;
        reply.body = head.target;
        return reply;
    }
    http::Reply answer(const http::Request& request) override {
        released.wait();
        http::Reply reply;
        reply.body = "done " + request.body;
        return reply;
    }
    http::Reply refusal(int status, const std::string& text, const http::Request&) override {
        http::Reply reply;
        reply.status = status;
        reply.body = text;
        return reply;
    }
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
};

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override { ::alarm(30); }
    void TearDown() override {
        handler.release.set_value();
        server.reset();
        ::alarm(0);
    }
    void start() {
        server = std::make_unique<http::Server>(limits, handler, [](const std::string&) {});
        std::string error;
        ASSERT_TRUE(server->start(0, error)) << error;
    }
    UniqueFd connectAndSend(const std::string& bytes) const {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(server->port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval timeout{3, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (!bytes.empty())
            ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return fd;
    }
    // Until `answers` answers arrived, or the connection closed.
    static std::string receive(int fd, std::size_t answers) {
        std::string text;
        char buffer[4096];
        while (count(text, "HTTP/1.1 ") < answers || !complete(text)) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    static bool complete(const std::string& text) {
        const std::size_t end = text.rfind("\r\n\r\n");
        const std::size_t length = text.rfind("Content-Length: ");
        return end != std::string::npos && length != std::string::npos &&
               text.size() >= end + 4 + std::stoul(text.substr(length + 16));
    }
    static std::size_t count(const std::string& text, const std::string& needle) {
        std::size_t n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    }
    // Whether the server has closed `fd` within a short wait.
    static bool closedByServer(int fd, std::chrono::milliseconds within = 1000ms) {
        timeval timeout{0, static_cast<suseconds_t>(within.count() * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET))
                return true;
            if (n < 0)
                return false;
        }
    }

    http::Limits limits;
    TestHandler handler;
    std::unique_ptr<http::Server> server;
};

const std::string kGet = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";

} // namespace

TEST_F(HttpServerTest, FullTableDropsTheOldestHeaderBlockThenTheOldestIdleConnection) {
    limits.maxConnections = 3;
    start();
    UniqueFd idle = connectAndSend(kGet);
    ASSERT_NE(receive(idle.get(), 1).find("/a"), std::string::npos);
    UniqueFd partial = connectAndSend("GET /b HTTP/1.1\r\n");
    std::this_thread::sleep_for(50ms);
    UniqueFd fresh = connectAndSend("");
    std::this_thread::sleep_for(50ms);

    UniqueFd fourth = connectAndSend("");
    EXPECT_TRUE(closedByServer(partial.get())) << "the oldest unfinished header block goes first";
    UniqueFd fifth = connectAndSend("");
    EXPECT_TRUE(closedByServer(fresh.get()));
    UniqueFd sixth = connectAndSend("");
    EXPECT_TRUE(closedByServer(fourth.get())) << "header blocks before idle connections";
    UniqueFd call = connectAndSend("POST /slow HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nX: y\r\n\r\nx");
    EXPECT_TRUE(closedByServer(fifth.get()));
    // Left: the first idle connection, the one mid-call, and one served just now.
    ::send(sixth.get(), kGet.data(), kGet.size(), MSG_NOSIGNAL);
    ASSERT_NE(receive(sixth.get(), 1).find("/a"), std::string::npos);
    UniqueFd beyond = connectAndSend("");
    EXPECT_TRUE(closedByServer(idle.get())) << "then the oldest idle connection";
    EXPECT_FALSE(closedByServer(sixth.get(), 200ms));
}

TEST_F(HttpServerTest, SlowHeaderAndIdleConnectionsAreClosedAtTheirDeadlines) {
    limits.headerTime = 300ms;
    limits.idleTime = 600ms;
    start();
    UniqueFd slow = connectAndSend("GET /a HTTP/1.1\r\n");
    ::send(slow.get(), "X: 1\r\n", 6, MSG_NOSIGNAL);
    EXPECT_TRUE(closedByServer(slow.get(), 1000ms)) << "a header block over its time";
    UniqueFd kept = connectAndSend(kGet);
    ASSERT_NE(receive(kept.get(), 1).find("/a"), std::string::npos);
    EXPECT_FALSE(closedByServer(kept.get(), 400ms)) << "idle, not yet at its deadline";
    EXPECT_TRUE(closedByServer(kept.get(), 1000ms));
}

TEST_F(HttpServerTest, PipelinedRequestsAreAnsweredInOrderOneAtATime) {
    start();
    UniqueFd fd = connectAndSend("POST /slow HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\n\r\n1" + kGet);
    std::this_thread::sleep_for(100ms);
    handler.release.set_value();
    handler.release = std::promise<void>(); // TearDown sets this one
    const std::string text = receive(fd.get(), 2);
    const std::size_t first = text.find("done 1");
    const std::size_t second = text.find("/a");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
}

TEST_F(HttpServerTest, CallsBeyondTheThreadCapAreRefusedAndClosed) {
    limits.maxCallsInFlight = 1;
    start();
    const std::string post = "POST /slow HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\n\r\nx";
    UniqueFd first = connectAndSend(post);
    std::this_thread::sleep_for(100ms);
    UniqueFd second = connectAndSend(post);
    EXPECT_EQ(receive(second.get(), 1).rfind("HTTP/1.1 503", 0), 0u);
    EXPECT_TRUE(closedByServer(second.get()));
}

TEST_F(HttpServerTest, FourThousandConnectionsAreHeldAndTheNextTakesTheOldestsPlace) {
    start(); // raises the descriptor limit for this process too
    std::vector<UniqueFd> waiting;
    for (int i = 0; i < 4096; ++i) {
        waiting.push_back(connectAndSend("GET /a HTTP/1.1\r\n"));
        ASSERT_GE(waiting.back().get(), 0) << i;
    }
    std::this_thread::sleep_for(200ms);
    UniqueFd next = connectAndSend(kGet);
    EXPECT_NE(receive(next.get(), 1).find("/a"), std::string::npos);
    EXPECT_TRUE(closedByServer(waiting.front().get()));
    int closed = 0;
    for (std::size_t i = 1; i < waiting.size(); ++i) {
        char byte = 0;
        const ssize_t n = ::recv(waiting[i].get(), &byte, 1, MSG_DONTWAIT);
        closed += n == 0 ? 1 : 0;
    }
    EXPECT_EQ(closed, 0) << "only the oldest went";
}
