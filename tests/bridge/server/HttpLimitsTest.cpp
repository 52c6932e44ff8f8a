// The HTTP layer's bounds, against the bridge in process: header size and count, the answer
// to a request over them, and a stop that answers calls in flight and closes the rest.
#include "tests/bridge/server/BridgeFixture.h"

#include <fstream>

using namespace bridge_test;

namespace {

UniqueFd connectTo(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// What arrives until the bridge closes the connection; `closed` false when it stayed open.
std::string readUntilClosed(int fd, bool& closed) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        closed = n == 0 || errno == ECONNRESET;
        return text;
    }
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

} // namespace

TEST_F(BridgeTest, HeaderBlocksOverTheirBoundsAreRefusedAndClosed) {
    start();
    const std::string line = "GET /korvan/activex.js HTTP/1.1\r\nHost: " + host() + "\r\nOrigin: " + kAllowed + "\r\n";
    std::string manyLines = line;
    for (int i = 0; i < 99; ++i)
        manyLines += "X-Line-" + std::to_string(i) + ": a\r\n";
    std::string longField = line + "X-Long: " + std::string(16 * 1024, 'a') + "\r\n";
    // 100 lines in all pass; 101 do not.
    std::string fewer = line;
    for (int i = 0; i < 97; ++i)
        fewer += "X-Line-" + std::to_string(i) + ": a\r\n";
    EXPECT_EQ(rawExchange(port, fewer + "\r\n", false).rfind("HTTP/1.1 200", 0), 0u);
    for (const std::string& request : {manyLines, longField}) {
        const UniqueFd fd = connectTo(port);
        const std::string text = request + "\r\n";
        ::send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL);
        bool closed = false;
        const std::string answer = readUntilClosed(fd.get(), closed);
        EXPECT_EQ(answer.rfind("HTTP/1.1 431", 0), 0u) << answer.substr(0, 100);
        EXPECT_NE(answer.find("\"error\":\"bad request: headers too large\""), std::string::npos) << answer;
        EXPECT_NE(answer.find(std::string("Access-Control-Allow-Origin: ") + kAllowed), std::string::npos);
        EXPECT_TRUE(closed);
    }
}

// 288 MB of header lines once took the old layer from 27 MB to 620 MB for good.
TEST_F(BridgeTest, EndlessHeaderIsCutWithoutTheMemoryGrowing) {
    ::alarm(60);
    start();
    const long before = residentKiB();
    const UniqueFd fd = connectTo(port);
    const std::string head = "POST /korvan/v1/call HTTP/1.1\r\nHost: " + host() + "\r\n";
    ::send(fd.get(), head.data(), head.size(), MSG_NOSIGNAL);
    const std::string lines = [] {
        std::string text;
        while (text.size() < 64 * 1024)
            text += "X-Pad: " + std::string(100, 'p') + "\r\n";
        return text;
    }();
    std::size_t sent = 0;
    while (sent < 288u * 1024 * 1024) {
        const ssize_t n = ::send(fd.get(), lines.data(), lines.size(), MSG_NOSIGNAL);
        if (n <= 0)
            break; // the bridge has closed the connection
        sent += static_cast<std::size_t>(n);
    }
    EXPECT_LT(sent, 64u * 1024 * 1024) << "the bridge went on reading the header";
    bool closed = false;
    const std::string answer = readUntilClosed(fd.get(), closed);
    if (!answer.empty()) {
        EXPECT_EQ(answer.rfind("HTTP/1.1 431", 0), 0u) << answer.substr(0, 100);
    }
    EXPECT_LT(residentKiB() - before, 4 * 1024) << "resident memory grew";
}

// Stopping answers the call in flight and closes kept-alive connections at once.
TEST_F(BridgeTest, StopEndsCallsInFlightAndIdleConnectionsPromptly) {
    start();
    const std::string object = createObject(kAllowed);
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 2; ++i) {
        idle.push_back(connectTo(port));
        const std::string request = "GET /korvan/activex.js HTTP/1.1\r\nHost: " + host() + "\r\n\r\n";
        ::send(idle.back().get(), request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[65536];
        ASSERT_GT(::recv(idle.back().get(), buffer, sizeof buffer, 0), 0);
    }
    auto inFlight = std::async(std::launch::async, [&] { return call(kAllowed, object, "Sleep", number(5000)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = std::chrono::steady_clock::now();
    bridge->stop();
    // A generous bound on what must take at most 200 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(400));
    EXPECT_EQ(inFlight.get().status, 500) << "the call in flight got its answer";
    for (const UniqueFd& fd : idle) {
        bool closed = false;
        readUntilClosed(fd.get(), closed);
        EXPECT_TRUE(closed);
    }
}
